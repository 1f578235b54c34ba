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

#include "core/thread_annotations.h"
#include "presence_ipc/ipc_channel.h"
#include "presence_ipc/presence_client.h"

namespace kiln::presence_ipc {

using AttemptClock = std::chrono::steady_clock;

inline constexpr size_t kActivityCapacity = 16384;
inline constexpr int kMessagesPerPass = 256;
inline constexpr std::chrono::milliseconds kIdleWait{500};
// While a handshake waits for READY the thread looks more often, so that the
// presence is back at once when the application answers.
inline constexpr std::chrono::milliseconds kHandshakeWait{50};

// Discord takes at most 5 activity updates per 20 s on one connection. The
// pacing clock counts whole seconds, so a 6th send waits for 21 of them
// rather than risk going out a fraction of a second early.
inline constexpr int kPacedSends = 5;
inline constexpr int64_t kPacingWindowSeconds = 21;

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
    // A wake-up is remembered until the thread takes it, also when it comes
    // while a pass runs.
    void Wake() {
        wakeRequested.store(true);
        wakeSignal.notify_all();
    }
    std::atomic<bool> keepRunning{false};
    std::atomic<bool> wakeRequested{false};
    Mutex wakeLock;
    std::condition_variable wakeSignal;
    std::thread thread;
    std::atomic<uint64_t> passesCompleted{0};
};

struct PresenceClient {
    IpcChannel channel;
    // Read by InitializePresence, RunPresenceCallbacks and the IO thread.
    std::atomic<bool> channelExists{false};
    std::atomic<PresenceIoThread*> ioThread{nullptr};

    Mutex presenceLock;
    PendingActivity slot GUARDED_BY(presenceLock);
    int32_t nonceCounter GUARDED_BY(presenceLock) = 1;

    std::atomic<bool> activityPending{false};
    std::atomic<bool> justConnected{false};
    std::atomic<bool> justDisconnected{false};
    std::atomic<bool> errorReceived{false};

    Mutex handlerLock;
    PresenceHandlers queuedHandlers GUARDED_BY(handlerLock){};
    PresenceHandlers activeHandlers GUARDED_BY(handlerLock){};
    // The records are written on the IO thread and read by RunPresenceCallbacks.
    EventRecord disconnectRecord GUARDED_BY(handlerLock);
    EventRecord errorRecord GUARDED_BY(handlerLock);
    PresenceUser user GUARDED_BY(handlerLock){};

    // -- IO thread only (start and shutdown never overlap it)
    // The sends on the current connection: their pacing-clock times, oldest
    // first, and the last message the application took (its text after the
    // nonce, which alone differs between equal presences, and the nonce).
    int64_t sentAt[kPacedSends] = {};
    int sentCount = 0;
    char acceptedText[kActivityCapacity];
    size_t acceptedLength = 0;
    char acceptedNonce[16] = {};
    ReconnectBackoff backoff;
    // The steady clock, not the host's: the schedule needs milliseconds and
    // must not jump with the wall clock. Its zero has passed at load.
    AttemptClock::time_point nextAttemptTime{};
    char sendCopy[kActivityCapacity];
};

PresenceClient& Client();

// The pacing clock, in seconds: the host's clock, or the system's without a
// host. Tests may put in a clock they move themselves.
extern std::atomic<int64_t (*)()> pacingClock;

// One pass of the IO thread; runs with wakeLock held.
void ServiceConnection();
// One back-off step: grows the delay by a random factor from 1 up to 3, at
// most 60000 ms, and sets the next attempt time from it.
void ScheduleReconnect();
// The random value of a back-off step, from 0 up to 1.
double DrawBackoffFactor(ReconnectBackoff& backoff);

void OnChannelReady(const Reply& reply);
void OnChannelClosed(int32_t code, const char* message);

}  // namespace kiln::presence_ipc
