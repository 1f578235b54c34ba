// The scrobbler's steps in the event worker, and the scrobble timer.
#pragma once

#include <cstdint>

#include "core/host_services.h"
#include "plugin/shared_state.h"

namespace kiln {

// Play start (scrobbling on): the library-only rule, then the now-playing
// update or the timer.
void ScrobbleOnPlayStarted();
// Play start (scrobbling on) of a play the rules keep from Last.fm: nothing
// is armed, and the status says why. `reason` as in plugin/rules.h.
void ScrobbleExcluded(int reason);
// Unpause (scrobbling on): the timer armed again for what is left to play.
void ScrobbleOnUnpaused();
// false: now-playing update for the current play; true: submission of every
// play that became due, each with the cached plays ahead of it.
void SubmitToScrobbler(bool submission);
// The submission of one play together with the cache.
void SubmitPlay(const PlayIdentity& play);
// At quit: plays made due but not submitted yet are added to the cache, and
// plays the service took that a refused replacement left in it are dropped.
void CacheDuePlays();
// Start-up (scrobbling on): takes the profile's scrobbler lock at once, so
// that of two players sharing a settings folder the one started first
// scrobbles, and a second one says why it does not. Without this call the
// lock is taken at the first play.
void ClaimScrobbleCache();

// Seconds until a play becomes due: half its length (single precision,
// rounded up) or 240 s, whichever is less, less the time played. `resumedAt`
// is the start or the last resume, `playedSeconds` what was played before it.
// Negative: the play is past its scrobble point.
int64_t ScrobbleTimerDelay(int64_t resumedAt, int lengthSeconds, int64_t playedSeconds,
                           int64_t now);
// Arms timer 738 on the host window for the moment the play becomes due;
// nothing for a play that is no longer current, paused, or already due.
void ArmScrobbleTimer(const PlayIdentity& play, int lengthSeconds);
// The timer's routine, on the host's main thread: hands the play it was
// armed for to the worker.
void ScrobbleTimerRoutine(Window window, unsigned message, uintptr_t timerId, uint32_t time);

}  // namespace kiln
