#include "presence_ipc/ipc_channel.h"

#include <cstring>

namespace kiln::presence_ipc {
namespace {

uint32_t ReadLe32(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void WriteLe32(char* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

bool Equal(const char* a, const char* b) {
    return a && std::strcmp(a, b) == 0;
}

}  // namespace

void IpcChannel::Fail(int32_t code, const char* message) {
    lastErrorCode = code;
    CopyText(lastErrorMessage, message);
    CloseChannel();
}

bool IpcChannel::WriteSendFrame(Opcode opcode, size_t length) {
    WriteLe32(sendFrame_, static_cast<uint32_t>(opcode));
    WriteLe32(sendFrame_ + 4, static_cast<uint32_t>(length));
    return pipe && pipe->WritePipe(sendFrame_, kHeaderBytes + length);
}

bool IpcChannel::PongAllowed() {
    const auto now = std::chrono::steady_clock::now();
    if (now - pongSecond_ >= std::chrono::seconds(1)) {
        pongSecond_ = now;
        pongsThisSecond_ = 0;
    }
    return pongsThisSecond_++ < kPongsPerSecond;
}

void IpcChannel::OpenChannel() {
    switch (State()) {
        case ChannelState::Connected:
            return;
        case ChannelState::HandshakeSent: {
            Reply reply;
            if (!ReceiveFrame(reply)) {
                return;
            }
            if (Equal(reply.cmd, "DISPATCH") && Equal(reply.evt, "READY")) {
                state.store(ChannelState::Connected, std::memory_order_release);
                if (ReadyHook hook = readyHook.load()) {
                    hook(reply);
                }
            }
            return;
        }
        case ChannelState::Disconnected:
            if (!pipe || !pipe->OpenPipe()) {
                return;
            }
            size_t length =
                WriteHandshakeMessage(sendFrame_ + kHeaderBytes, kPayloadBytes, applicationId);
            if (WriteSendFrame(Opcode::Handshake, length)) {
                state.store(ChannelState::HandshakeSent, std::memory_order_release);
            } else {
                CloseChannel();
            }
            return;
    }
}

void IpcChannel::CloseChannel() {
    ChannelState was = State();
    ClosedHook hook = closedHook.load();
    if (hook && (was == ChannelState::HandshakeSent || was == ChannelState::Connected)) {
        hook(lastErrorCode, lastErrorMessage);
    }
    if (pipe) {
        pipe->ClosePipe();
    }
    state.store(ChannelState::Disconnected, std::memory_order_release);
}

bool IpcChannel::SendFrame(const char* payload, size_t length) {
    if (length > kPayloadBytes) {
        return false;
    }
    std::memcpy(sendFrame_ + kHeaderBytes, payload, length);
    if (!WriteSendFrame(Opcode::Message, length)) {
        CloseChannel();
        return false;
    }
    return true;
}

bool IpcChannel::ReceiveFrame(Reply& reply) {
    ChannelState now = State();
    if (now != ChannelState::HandshakeSent && now != ChannelState::Connected) {
        return false;
    }
    char* payload = receiveFrame_ + kHeaderBytes;
    for (int control = 0;; ++control) {
        if (control == kControlFramesPerRead) {
            return false;  // the rest waits for the next pass
        }
        if (!pipe) {
            Fail(kErrorNoPipe, "Invalid internal state");
            return false;
        }
        if (!pipe->ReadPipe(receiveFrame_, kHeaderBytes)) {
            if (pipe->IsOpen()) {
                return false;  // nothing complete waiting yet
            }
            Fail(kErrorPipeClosed, "Pipe closed");
            return false;
        }
        uint32_t opcode = ReadLe32(receiveFrame_);
        uint32_t length = ReadLe32(receiveFrame_ + 4);
        // A payload that could not be terminated inside the payload area is
        // not a frame the application sends; treat it as corrupt rather than
        // read past the buffer.
        if (length > kMaxReceivedPayload) {
            Fail(kErrorBadFrame, "Bad ipc frame");
            return false;
        }
        // The rest of a frame is never waited for: the application writes
        // whole frames, so a missing part means the stream is broken.
        if (length > 0 && !pipe->ReadPipe(payload, length)) {
            Fail(kErrorBadFrame, "Partial data in frame");
            return false;
        }
        payload[length] = 0;
        switch (static_cast<Opcode>(opcode)) {
            case Opcode::Message:
                reply.Parse(payload);
                return true;
            case Opcode::Close: {
                reply.Parse(payload);
                lastErrorCode = reply.code;
                CopyText(lastErrorMessage, reply.message ? reply.message : "");
                CloseChannel();
                return false;
            }
            case Opcode::Ping:
                // The same payload goes back as a Pong; should that write fail
                // (or time out), the next header read finds the pipe closed.
                if (!PongAllowed()) {
                    continue;
                }
                WriteLe32(receiveFrame_, static_cast<uint32_t>(Opcode::Pong));
                if (!pipe->WritePipe(receiveFrame_, kHeaderBytes + length)) {
                    CloseChannel();
                }
                continue;
            case Opcode::Pong:
                continue;
            case Opcode::Handshake:
            default:
                Fail(kErrorBadFrame, "Bad ipc frame");
                return false;
        }
    }
}

}  // namespace kiln::presence_ipc
