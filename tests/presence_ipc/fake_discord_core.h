// The platform-neutral half of the fake application, included by each
// platform's file: the record of what the client sent, and the hand-over of
// commands from the test thread to the server thread, which owns the pipe.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "fake_discord.h"

namespace kiln::test {

enum class Command { None, Drop, Occupy, Release, Quit };

class FakeDiscord::Impl {
  public:
    explicit Impl(Options given) : options(std::move(given)) {}
    virtual ~Impl() = default;

    // Makes the server thread look at `command` soon.
    virtual void Wake() = 0;
    // Writes to the connected client; mutex held.
    virtual bool Write(std::string_view bytes) = 0;

    // Hands a command to the server thread and waits until it has run.
    void Run(Command what) {
        std::unique_lock<std::mutex> lock(mutex);
        command = what;
        uint64_t target = ++posted;
        Wake();
        changed.wait(lock, [&] { return done >= target; });
    }

    // -- for the server thread, with mutex held
    // Runs a command posted and not yet run; false once Quit has come.
    template <typename Execute>
    bool RunPosted(Execute execute) {
        if (done < posted) {
            execute(command);
            done = posted;
            changed.notify_all();
        }
        return command != Command::Quit;
    }
    void Accepted() {
        ++connections;
        partial.clear();
        connected = true;
        changed.notify_all();
    }
    void Lost() {
        connected = false;
        changed.notify_all();
    }
    // Cuts what arrived into frames, answering every handshake.
    void Received(const char* data, size_t length) {
        partial.append(data, length);
        auto le32 = [this](size_t at) {
            const auto* b = reinterpret_cast<const unsigned char*>(partial.data() + at);
            return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        };
        while (partial.size() >= 8 && partial.size() >= 8 + static_cast<size_t>(le32(4))) {
            frames.push_back(Frame{le32(0), partial.substr(8, le32(4)), connections});
            partial.erase(0, 8 + static_cast<size_t>(le32(4)));
            if (frames.back().opcode == 0 && !options.readyPayload.empty()) {
                Write(EncodeFrame(1, options.readyPayload));
            }
        }
        changed.notify_all();
    }

    const Options options;
    std::mutex mutex;
    std::condition_variable changed;
    // -- guarded by mutex
    std::vector<Frame> frames;
    std::string partial;  // the start of a frame still arriving
    int connections = 0;
    bool connected = false;
    bool paused = false;  // nothing more is read from the client
    Command command = Command::None;
    uint64_t posted = 0;
    uint64_t done = 0;
};

std::string EncodeFrame(uint32_t opcode, std::string_view payload) {
    std::string frame(8, '\0');
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<char>(opcode >> (8 * i));
        frame[4 + i] = static_cast<char>(payload.size() >> (8 * i));
    }
    return frame.append(payload);
}

FakeDiscord::~FakeDiscord() = default;

bool FakeDiscord::Send(uint32_t opcode, std::string_view payload) {
    return SendRaw(EncodeFrame(opcode, payload));
}
bool FakeDiscord::SendRaw(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connected && impl_->Write(bytes);
}
void FakeDiscord::Drop() {
    impl_->Run(Command::Drop);
}
void FakeDiscord::Occupy() {
    impl_->Run(Command::Occupy);
}
void FakeDiscord::Release() {
    impl_->Run(Command::Release);
}
void FakeDiscord::PauseReading(bool paused) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->paused = paused;  // a read under way still ends
    impl_->Wake();
}

std::vector<Frame> FakeDiscord::Frames() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->frames;
}
std::vector<Frame> FakeDiscord::FramesWithOpcode(uint32_t opcode) {
    std::vector<Frame> chosen = Frames();
    std::erase_if(chosen, [opcode](const Frame& frame) { return frame.opcode != opcode; });
    return chosen;
}
int FakeDiscord::Connections() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connections;
}
bool FakeDiscord::ClientConnected() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connected;
}

bool FakeDiscord::WaitForDisconnect(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [this] { return !impl_->connected; });
}

}  // namespace kiln::test
