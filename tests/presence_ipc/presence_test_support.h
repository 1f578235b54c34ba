// Helpers shared by the presence client's suites.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "presence_ipc/presence_client.h"
#include "presence_ipc/presence_state.h"

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace kiln::test {

using namespace std::chrono_literals;

// A private folder for the sockets, made the runtime folder the client
// searches. On Windows the pipes have global names and this does nothing.
class PipeFolder {
  public:
    PipeFolder() {
#ifndef _WIN32
        char pattern[] = "/tmp/kiln-ipc-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
#endif
    }
    ~PipeFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const {
        return path_;
    }

  private:
    std::string path_;
};

// Joins texts by appending, which (unlike a chain that starts with a literal)
// gives GCC 12 no false -Wrestrict alarm at -O3.
template <typename... Parts>
std::string Cat(const Parts&... parts) {
    std::string out;
    ((out += parts), ...);
    return out;
}

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The pacing clock of the tests: it moves only when a test moves it.
inline std::atomic<int64_t> testSeconds{1700000000};
inline void AdvancePacing(int64_t seconds = presence_ipc::kPacingWindowSeconds) {
    testSeconds += seconds;
}

// Stops the client and puts back what survives a shutdown, so that every test
// starts from a freshly loaded library.
inline void ResetClient() {
    using namespace presence_ipc;
    ShutdownPresence();
    pacingClock.store([] { return testSeconds.load(); });
    PresenceClient& c = Client();
    c.nextAttemptTime = {};
    c.backoff = ReconnectBackoff{};
    c.justConnected = c.justDisconnected = c.errorReceived = false;
    c.nonceCounter = 1;
}

inline presence_ipc::PresenceIoThread* IoThread() {
    return presence_ipc::Client().ioThread.load();
}
inline uint64_t PassesCompleted() {
    return IoThread() ? IoThread()->passesCompleted.load() : 0;
}

// Waits for a condition that passes of the IO thread bring about, waking it
// for a pass now rather than at its next 500 ms deadline.
inline bool WaitWaking(const std::function<bool()>& condition) {
    return WaitUntil([&condition] {
        IoThread()->Wake();
        return condition();
    });
}

// Moves the next connection attempt to now and wakes the IO thread, so that
// tests about what happens at an attempt do not sit out the back-off.
inline void AttemptNow() {
    if (presence_ipc::PresenceIoThread* io = IoThread()) {
        std::lock_guard lock(io->wakeLock);
        presence_ipc::Client().nextAttemptTime = presence_ipc::AttemptClock::now();
        io->Wake();
    }
}

// Drives attempts until the client is connected.
inline bool ConnectNow() {
    return WaitUntil([] {
        AttemptNow();
        return presence_ipc::Client().channel.State() == presence_ipc::ChannelState::Connected;
    });
}

}  // namespace kiln::test
