// A stand-in for the Discord desktop application: serves one instance of its
// local pipe (a Unix domain socket under a given folder, or a named pipe on
// Windows), answers the handshake, records every frame the client sends, and
// misbehaves on demand.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kiln::test {

struct Frame {
    uint32_t opcode = 0;
    std::string payload;
    int connection = 0;  // 1 for the first accepted connection, and so on
};

// Header (opcode and length, little-endian) followed by the payload.
std::string EncodeFrame(uint32_t opcode, std::string_view payload);

inline constexpr const char* kReadyWithUser =
    R"({"cmd":"DISPATCH","data":{"v":1,"config":{"cdn_host":"cdn.discordapp.com"},"user":{)"
    R"("id":"1045800378228281345","username":"kiln","discriminator":"0042","avatar":"a_5f1e",)"
    R"("bot":false,"flags":32,"avatar_decoration_data":null}},"evt":"READY","nonce":null})";

enum class FakeLocation { Base, Flatpak, Snap };

class FakeDiscord {
  public:
    struct Options {
        std::string folder;  // base folder of the sockets (POSIX only)
        int digit = 0;
        FakeLocation location = FakeLocation::Base;
        // Sent as a Message frame in answer to every handshake; empty: no answer.
        std::string readyPayload = kReadyWithUser;
    };

    explicit FakeDiscord(Options options);
    ~FakeDiscord();

    // Sends to the connected client; false when none is connected.
    bool Send(uint32_t opcode, std::string_view payload);
    bool SendRaw(std::string_view bytes);

    // Closes the client's connection from this side; bytes already sent stay
    // readable for the client.
    void Drop();
    // Takes the only instance with a connection of its own, so that clients
    // find it busy; Release frees it again.
    void Occupy();
    void Release();
    // While paused, nothing the client sends is read: its writes fill the pipe
    // and finally block.
    void PauseReading(bool paused);

    std::vector<Frame> Frames();
    std::vector<Frame> FramesWithOpcode(uint32_t opcode);
    int Connections();  // connections accepted so far
    bool ClientConnected();

    bool WaitForDisconnect(std::chrono::milliseconds timeout);

    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiln::test
