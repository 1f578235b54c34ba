// What the frame shares with the subsystems beside it: the location of the
// item now playing, the current play, and the requests a subsystem makes of
// the event worker. The worker's own life (start, quit) stays in worker.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/host_contract.h"

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

inline constexpr int kLocationChars = 260;
inline constexpr uintptr_t kScrobbleTimerId = contract::kScrobbleTimerId;
inline constexpr uintptr_t kPresenceTimerId = contract::kPresenceTimerId;

// Filled by the host with the item now playing whenever a request about it is
// made. One per thread: POST threads format while the worker does.
extern thread_local wchar_t currentLocation[kLocationChars];

extern std::atomic<bool> scrobbleTimerSet;

// One play, from the start of an item to the next start. Work armed for a play
// (the scrobble timer, a submission, a now-playing reply) keeps its identity,
// so that it never acts on a later play.
struct PlayIdentity {
    uint64_t serial = 0;  // 0: nothing has played yet
    int64_t startTime = 0;
    std::wstring file;
    int64_t playedSeconds = 0;  // played before the last resume (or the start)
    int64_t resumedAt = 0;      // the start or the last resume
    bool paused = false;
};
// The play now current, as the host's main thread recorded it.
PlayIdentity CurrentPlay();
// The play the last start replaced, with its time played settled then.
PlayIdentity PreviousPlay();
// The play the last hard stop ended, with its time played settled then.
PlayIdentity StoppedPlay();
// Seconds `play` has been heard by `now`.
int64_t PlayedSeconds(const PlayIdentity& play, int64_t now);
uint64_t CurrentPlaySerial();
// The hook's pause and resume, noted when the host reports them: a transition
// the worker comes to late must not count for a play started since.
void NotePlayPaused();
void NotePlayResumed();
// A hard stop: the play is heard no longer (it counts as paused for good).
void NotePlayStopped();

// EnsureWorker, then signal; false when no worker could run.
bool SignalWorker(WorkerEvent event);
void SignalPlayStart();
// Outputs switched on in a page while a play is under way act on it at once;
// the play itself is not started again.
inline constexpr unsigned kCatchUpHistory = 1;
inline constexpr unsigned kCatchUpNowPlaying = 2;
void SignalOutputsCatchUp(unsigned outputs);
void StopScrobbleTimer();

}  // namespace kiln
