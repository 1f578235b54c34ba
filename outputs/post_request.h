// HTTP(S) POST requests on play, pause, unpause and hard stop, each on a
// short-lived thread of its own.
#pragma once

#include <chrono>

namespace kiln {

// eventCode: 0 play, 1 pause, 2 unpause, 3 stop. Called on the worker.
void StartPostRequest(int eventCode);

// Quit, after the worker has drained: waits for the request threads to end
// by themselves, until `deadline`; closes none.
void AwaitPostRequestsUntil(std::chrono::steady_clock::time_point deadline);

// Quit: waits up to 10000 ms for the most recent request thread.
void StopPostThreadForQuit();
// After the worker has ended: waits for the older request threads still running.
void StopOlderPostThreadsForQuit();

}  // namespace kiln
