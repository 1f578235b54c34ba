#include "platform/events.h"

#include <windows.h>

namespace kiln::platform {

EventHandle CreateAutoResetEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void SignalEvent(EventHandle event) {
    if (event) {
        SetEvent(event);
    }
}

int WaitForAnyEvent(const EventHandle* events, int count, int timeoutMs, bool alertable) {
    if (!events || count <= 0 || count > MAXIMUM_WAIT_OBJECTS) {
        return kWaitFailed;
    }
    DWORD result = WaitForMultipleObjectsEx(
        static_cast<DWORD>(count), events, FALSE,
        timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), alertable ? TRUE : FALSE);
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count)) {
        return static_cast<int>(result - WAIT_OBJECT_0);
    }
    if (result == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    if (result == WAIT_IO_COMPLETION) {
        return kWaitInterrupted;
    }
    return kWaitFailed;
}

int SleepAlertable(int milliseconds) {
    return SleepEx(static_cast<DWORD>(milliseconds), TRUE) == WAIT_IO_COMPLETION ? kWaitInterrupted
                                                                                 : 0;
}

}  // namespace kiln::platform
