// The event worker: one background thread that does all slow work after a
// playback transition, woken through seven auto-reset events.
#pragma once

#include "plugin/shared_state.h"

namespace kiln {

inline constexpr int kWorkerEventCount = 7;

// True when the worker runs or was started. Starts nothing when no output is on.
bool EnsureWorker();

// Quit, first step: lets the worker handle the events already queued (without
// its settling sleep) and end. True when it ended within `timeoutMs`.
bool DrainWorkerForQuit(int timeoutMs);

// Quit: signals the quit event if the events exist and waits for the worker
// (at most 10000 ms per thread), then closes its handles.
void StopWorkerForQuit();

// For tests through the host: whether a worker thread is registered.
bool WorkerRunning();

}  // namespace kiln
