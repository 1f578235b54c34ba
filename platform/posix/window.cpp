#include "platform/window.h"

// This backend serves through the host's table: the Linux host owns the loop.
#include "core/host_services.h"

namespace kiln::platform {

// Every operation needs the host's window system; without a host nothing happens.
#define KILN_HOST_OR(fallback)         \
    const HostServices* host = Host(); \
    if (!host)                         \
    return fallback

bool PostToWindow(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    KILN_HOST_OR(false);
    return host->postMessage(window, message, wParam, lParam) != 0;
}

bool SetWindowTimer(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc) {
    KILN_HOST_OR(false);
    return host->setTimer(window, id, milliseconds, proc) != 0;
}

bool KillWindowTimer(Window window, uintptr_t id) {
    KILN_HOST_OR(false);
    return host->killTimer(window, id) != 0;
}

bool IsLiveWindow(Window window) {
    KILN_HOST_OR(false);
    return window && host->isWindow(window) != 0;
}

bool SetControlText(Window dialog, int controlId, const wchar_t* text) {
    KILN_HOST_OR(false);
    return host->setItemText(dialog, controlId, text) != 0;
}

int GetControlText(Window dialog, int controlId, wchar_t* out, int size) {
    if (size > 0) {
        out[0] = L'\0';
    }
    KILN_HOST_OR(0);
    return host->getItemText(dialog, controlId, out, size);
}

void CheckControl(Window dialog, int controlId, bool checked) {
    KILN_HOST_OR();
    host->checkItem(dialog, controlId, checked ? 1 : 0);
}

bool IsControlChecked(Window dialog, int controlId) {
    KILN_HOST_OR(false);
    return host->isItemChecked(dialog, controlId) != 0;
}

intptr_t SendControlMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                            intptr_t lParam) {
    KILN_HOST_OR(0);
    return host->sendItemMessage(dialog, controlId, message, wParam, lParam);
}

void EnableControl(Window dialog, int controlId, bool enabled) {
    KILN_HOST_OR();
    host->enableItem(dialog, controlId, enabled ? 1 : 0);
}

void ShowControl(Window dialog, int controlId, bool shown) {
    KILN_HOST_OR();
    host->showItem(dialog, controlId, shown ? 1 : 0);
}

int ShowMessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags) {
    KILN_HOST_OR(kAnswerNo);
    return host->messageBox(owner, text, title, flags);
}

#undef KILN_HOST_OR

}  // namespace kiln::platform
