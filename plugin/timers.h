// Timers on the host's main window. Only the thread that owns a window may
// set or kill its timers (Windows refuses the others), so a worker thread's
// request is posted to the main thread and carried out by the message hook.
#pragma once

#include <cstdint>

#include "core/handles.h"

namespace kiln {

// Sets timer `id` on the host window to call `proc` after `milliseconds`.
// From another thread the request is carried out later on the main thread,
// and only if play `playSerial` is still the current one then (0: always).
void ScheduleTimer(uintptr_t id, unsigned milliseconds, TimerProc proc, uint64_t playSerial);
// Kills timer `id` (and any request for it not yet carried out).
void CancelTimer(uintptr_t id);

// The frame's side: the main thread is the one that calls init.
void NoteMainThread();
// Carries out a posted request; called by the hook for the frame's message.
void RunTimerRequest(uintptr_t id);
// At quit: kills both timers and forgets pending requests.
void CancelAllTimers();

}  // namespace kiln
