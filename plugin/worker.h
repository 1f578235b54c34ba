// The event worker: one background thread that does all slow work after a
// playback transition, woken through seven auto-reset events.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiln {

enum class WorkerEvent : int {
    PlayStarted = 0,
    Paused = 1,
    Unpaused = 2,
    Stopped = 3,
    PresenceRefresh = 4,
    ScrobbleDue = 5,
    Quit = 6,
};
inline constexpr int kWorkerEventCount = 7;

inline constexpr int kLocationChars = 260;
inline constexpr uintptr_t kScrobbleTimerId = 738;
inline constexpr uintptr_t kPresenceTimerId = 748;

// Filled by the host with the item now playing whenever a request about it is
// made. One per thread: POST threads format while the worker does.
extern thread_local wchar_t currentLocation[kLocationChars];

extern std::atomic<int64_t> playStartTime;
extern std::atomic<int64_t> pausedElapsed;
extern std::atomic<bool> scrobbleTimerSet;

// True when the worker runs or was started. Starts nothing when no output is on.
bool EnsureWorker();
// EnsureWorker, then signal; false when no worker could run.
bool SignalWorker(WorkerEvent event);
void SignalPlayStart();
void StopScrobbleTimer();

// Quit: signals the quit event if the events exist and waits for the worker
// (at most 10000 ms per thread), then closes its handles.
void StopWorkerForQuit();

// For tests through the host: whether a worker thread is registered.
bool WorkerRunning();

}  // namespace kiln
