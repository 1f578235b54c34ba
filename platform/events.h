// Unnamed auto-reset events and a wait for any of them.
#pragma once

namespace kiln::platform {

using EventHandle = void*;

inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitInterrupted = -2;  // woken to run a queued completion routine
inline constexpr int kWaitFailed = -3;

// Created non-signalled. Never closed: the plug-in keeps its events for the
// life of the process.
EventHandle CreateAutoResetEvent();
void SignalEvent(EventHandle event);

// Returns the lowest index among the signalled events and consumes that one
// signal, or one of the kWait codes.
int WaitForAnyEvent(const EventHandle* events, int count, int timeoutMs, bool alertable);

// Sleeps; kWaitInterrupted when an alertable sleep was cut short.
int SleepAlertable(int milliseconds);

}  // namespace kiln::platform
