// The scrobbler's steps in the event worker, and the scrobble timer.
#pragma once

#include <cstdint>

#include "plugin/host_services.h"

namespace kiln {

// Play start (scrobbling on): the library-only rule, then the now-playing
// update or the timer.
void ScrobbleOnPlayStarted();
// Unpause (scrobbling on): the timer armed again from now.
void ScrobbleOnUnpaused();
// false: now-playing update for the current play; true: submission of the
// cached plays and the current one.
void SubmitToScrobbler(bool submission);

// Seconds until a play becomes due: half its length (single precision,
// rounded up) less the time played, or a flat 240 s for an item whose half
// is longer. Negative: the play is past its scrobble point.
int64_t ScrobbleTimerDelay(int64_t startTime, int lengthSeconds, int64_t pausedSeconds,
                           int64_t now);
// Arms timer 738 on the host window for the moment the play becomes due.
void ArmScrobbleTimer(int64_t startTime, int lengthSeconds, int64_t pausedSeconds);
// The timer's routine, on the host's main thread: wakes the worker.
void ScrobbleTimerRoutine(Window window, unsigned message, uintptr_t timerId, uint32_t time);

}  // namespace kiln
