// Playback flags kept by the host message hook on the main thread and read by
// presence composition on the worker.
#pragma once

#include <atomic>

namespace kiln {

extern std::atomic<bool> playbackStarted;
extern std::atomic<bool> paused;
extern std::atomic<bool> hardStopped;

}  // namespace kiln
