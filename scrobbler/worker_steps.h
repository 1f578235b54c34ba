// The scrobbler's steps in the event worker.
#pragma once

namespace kiln {

void ScrobbleOnPlayStarted();
void ScrobbleOnUnpaused();
// false: now-playing update for the current play; true: submission.
void SubmitToScrobbler(bool submission);

}  // namespace kiln
