// Helpers shared by the presence client's suites.
#pragma once

#include <gtest/gtest.h>

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
        if (mkdtemp(pattern)) {
            path_ = pattern;
        }
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
#endif
    }
    ~PipeFolder() {
#ifndef _WIN32
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
#endif
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

inline RichPresence EmptyRecord() {
    RichPresence record{};
    return record;
}

template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
    presence_ipc::CopyText(field, text.c_str());
}

// Stops the client and puts back what survives a shutdown, so that every test
// starts from a freshly loaded library.
inline void ResetClient() {
    using namespace presence_ipc;
    ShutdownPresence();
    PresenceClient& c = Client();
    c.nextAttemptTime = {};
    c.backoff = ReconnectBackoff{};
    c.justConnected = false;
    c.justDisconnected = false;
    c.errorReceived = false;
    c.activityPending = false;
    {
        std::lock_guard<std::mutex> lock(c.presenceLock);
        c.slot.length = 0;
        c.nonceCounter = 1;
    }
    {
        std::lock_guard<std::mutex> lock(c.handlerLock);
        c.user = PresenceUser{};
        c.disconnectRecord = EventRecord{};
        c.errorRecord = EventRecord{};
        c.queuedHandlers = PresenceHandlers{};
    }
    c.channel.lastErrorCode = 0;
    c.channel.lastErrorMessage[0] = 0;
    c.channel.applicationId[0] = 0;
    presenceActivityMode = 0;
    presenceIsVideo = false;
}

inline uint64_t PassesCompleted() {
    presence_ipc::PresenceIoThread* io = presence_ipc::Client().ioThread.load();
    return io ? io->passesCompleted.load() : 0;
}

// Wakes the IO thread for a pass now rather than at its next 500 ms deadline.
inline void Wake() {
    if (presence_ipc::PresenceIoThread* io = presence_ipc::Client().ioThread.load()) {
        io->wakeSignal.notify_all();
    }
}

// Runs one whole pass that starts after this call, and waits for its end.
inline bool RunOnePass(std::chrono::milliseconds timeout = 3000ms) {
    presence_ipc::PresenceIoThread* io = presence_ipc::Client().ioThread.load();
    if (!io) {
        return false;
    }
    uint64_t before = 0;
    {
        // Held, the lock guarantees that no pass is under way.
        std::lock_guard<std::mutex> lock(io->wakeLock);
        before = io->passesCompleted.load();
    }
    io->wakeSignal.notify_all();
    return WaitUntil([io, before] { return io->passesCompleted.load() > before; }, timeout);
}

// Waits for a condition that passes of the IO thread bring about, waking it
// while waiting.
inline bool WaitWaking(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 5000ms) {
    return WaitUntil(
        [&condition] {
            Wake();
            return condition();
        },
        timeout);
}

// Moves the next connection attempt to now and wakes the IO thread, so that
// tests about what happens at an attempt do not sit out the back-off.
inline void AttemptNow() {
    using namespace presence_ipc;
    PresenceIoThread* io = Client().ioThread.load();
    if (!io) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(io->wakeLock);
        Client().nextAttemptTime = AttemptClock::now();
    }
    io->wakeSignal.notify_all();
}

inline presence_ipc::ChannelState ClientState() {
    return presence_ipc::Client().channel.State();
}

// Drives attempts until the client is connected.
inline bool ConnectNow(std::chrono::milliseconds timeout = 5000ms) {
    return WaitUntil(
        [] {
            if (ClientState() == presence_ipc::ChannelState::Connected) {
                return true;
            }
            AttemptNow();
            std::this_thread::sleep_for(5ms);
            return ClientState() == presence_ipc::ChannelState::Connected;
        },
        timeout);
}

}  // namespace kiln::test
