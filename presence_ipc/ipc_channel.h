// The connection record: frames over the pipe, the handshake and the state of
// the connection. Used only by the client's IO thread, except at start and
// shutdown, which never overlap it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "presence_ipc/pipe_connection.h"
#include "presence_ipc/presence_message.h"

namespace kiln::presence_ipc {

enum class ChannelState : uint32_t { Disconnected, HandshakeSent, Connected };

enum class Opcode : uint32_t { Handshake = 0, Message = 1, Close = 2, Ping = 3, Pong = 4 };

// Frame: opcode and payload length (both 32-bit little-endian), then the payload.
inline constexpr size_t kHeaderBytes = 8;
inline constexpr size_t kFrameBytes = 65536;
inline constexpr size_t kPayloadBytes = kFrameBytes - kHeaderBytes;
// A received payload is terminated inside the payload area.
inline constexpr size_t kMaxReceivedPayload = kPayloadBytes - 1;

// An application may ping as often as it likes: at most this many Pongs go
// back per second (further Pings are read and dropped), and one ReceiveFrame
// looks at no more than kControlFramesPerRead Pings and Pongs, so that a
// flood neither fills the pipe with answers nor keeps the IO thread reading.
inline constexpr int kPongsPerSecond = 8;
inline constexpr int kControlFramesPerRead = 64;

// Error codes of the frame reader.
inline constexpr int32_t kErrorPipeClosed = 1;
inline constexpr int32_t kErrorBadFrame = 2;
inline constexpr int32_t kErrorNoPipe = 3;

class IpcChannel {
  public:
    using ReadyHook = void (*)(const Reply& reply);
    using ClosedHook = void (*)(int32_t code, const char* message);

    // One connection step: open the pipe and send the handshake, or look for
    // the READY answer to a handshake already sent.
    void OpenChannel();
    // Reports the loss to the closed hook when a connection was under way,
    // closes the pipe and returns to Disconnected.
    void CloseChannel();
    // Sends one Message frame; on a failed write closes the channel and
    // returns false.
    bool SendFrame(const char* payload, size_t length);
    // Reads up to the next Message frame into `reply`, answering the Pings
    // (at a bounded rate) and skipping the Pongs before it. False when nothing
    // complete is waiting, after kControlFramesPerRead Pings and Pongs, or
    // when an error or a Close frame closed the channel.
    bool ReceiveFrame(Reply& reply);

    ChannelState State() const { return state.load(std::memory_order_acquire); }

    PipeConnection* pipe = nullptr;
    // Written by the IO thread (and by shutdown after the join), read by
    // RunPresenceCallbacks on other threads.
    std::atomic<ChannelState> state{ChannelState::Disconnected};
    // Removed by shutdown while the IO thread may still run a pass.
    std::atomic<ReadyHook> readyHook{nullptr};
    std::atomic<ClosedHook> closedHook{nullptr};
    char applicationId[64] = {};
    int32_t lastErrorCode = 0;
    char lastErrorMessage[256] = {};

  private:
    void Fail(int32_t code, const char* message);
    bool WriteSendFrame(Opcode opcode, size_t length);
    bool PongAllowed();

    std::chrono::steady_clock::time_point pongSecond_{};
    int pongsThisSecond_ = 0;
    alignas(8) char sendFrame_[kFrameBytes];
    alignas(8) char receiveFrame_[kFrameBytes];
};

}  // namespace kiln::presence_ipc
