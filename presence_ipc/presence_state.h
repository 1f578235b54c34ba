// The presence client's process-wide state and the steps of its IO thread.
// Only the client itself and its tests include this.
//
// Locks, never more than two held at once, always in this order:
//   wakeLock (held by the IO thread for a whole pass)
//     before presenceLock (taken briefly to store, copy or restore the slot)
//     and before handlerLock (handler sets and the records of past events).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include "presence_ipc/ipc_channel.h"
#include "presence_ipc/presence_client.h"

namespace kiln::presence_ipc {

using AttemptClock = std::chrono::steady_clock;

inline constexpr size_t kActivityCapacity = 16384;
inline constexpr std::chrono::milliseconds kIdleWait{500};

struct PendingActivity {
    uint64_t length = 0;  // 0: empty
    char text[kActivityCapacity];
};

struct EventRecord {
    int32_t code = 0;
    char message[256] = {};
};

struct ReconnectBackoff {
    static constexpr int64_t kMinDelayMs = 500;
    static constexpr int64_t kMaxDelayMs = 60000;
    int64_t currentDelayMs = kMinDelayMs;
    std::mt19937_64 random;
    // Seeded at the first draw rather than at load: the host's clock is bound
    // only after the library has been loaded.
    bool seeded = false;
};

class PresenceIoThread {
  public:
    std::atomic<bool> keepRunning{false};
    std::mutex wakeLock;
    std::condition_variable wakeSignal;
    std::thread thread;
    std::atomic<uint64_t> passesCompleted{0};
};

struct PresenceClient {
    IpcChannel channel;
    // Read by InitializePresence, RunPresenceCallbacks and the IO thread.
    std::atomic<bool> channelExists{false};
    std::atomic<PresenceIoThread*> ioThread{nullptr};

    std::mutex presenceLock;
    // -- guarded by presenceLock
    PendingActivity slot;
    int32_t nonceCounter = 1;
    // -- end of presenceLock group

    std::atomic<bool> activityPending{false};
    std::atomic<bool> justConnected{false};
    std::atomic<bool> justDisconnected{false};
    std::atomic<bool> errorReceived{false};

    std::mutex handlerLock;
    // -- guarded by handlerLock
    PresenceHandlers queuedHandlers{};
    PresenceHandlers activeHandlers{};
    // The records are written on the IO thread and read by RunPresenceCallbacks.
    EventRecord disconnectRecord;
    EventRecord errorRecord;
    PresenceUser user{};
    // -- end of handlerLock group

    // -- IO thread only (start and shutdown never overlap it)
    ReconnectBackoff backoff;
    // The steady clock, not the host's: the schedule needs milliseconds and
    // must not jump with the wall clock. Its zero has passed at load.
    AttemptClock::time_point nextAttemptTime{};
    char sendCopy[kActivityCapacity];
};

PresenceClient& Client();

// One pass of the IO thread; runs with wakeLock held.
void ServiceConnection();
// One back-off step: grows the delay by a random factor from 1 up to 3, at
// most 60000 ms, and sets the next attempt time from it.
void ScheduleReconnect();
// The random value of a back-off step, from 0 up to 1.
double DrawBackoffFactor(ReconnectBackoff& backoff);

void OnChannelReady(const ReplyDocument& reply);
void OnChannelClosed(int32_t code, const char* message);

}  // namespace kiln::presence_ipc
