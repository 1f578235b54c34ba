#include "platform/window.h"

#include <windows.h>

#include <map>

#include "core/thread_annotations.h"

namespace kiln::platform {

namespace {
HWND H(Window w) {
    return static_cast<HWND>(w);
}

// Windows calls timer procedures with its own convention, which on x86 is not
// the plug-in's: one CALLBACK procedure calls the routine set for the timer.
Mutex timerLock;
std::map<std::pair<HWND, UINT_PTR>, TimerProc> timerRoutines GUARDED_BY(timerLock);

void CALLBACK TimerThunk(HWND window, UINT message, UINT_PTR id, DWORD time) {
    TimerProc routine = nullptr;
    {
        MutexLock lock(timerLock);
        auto found = timerRoutines.find({window, id});
        routine = found == timerRoutines.end() ? nullptr : found->second;
    }
    if (routine) {
        routine(window, message, id, time);
    }
}
}  // namespace

bool PostToWindow(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(H(window), message, wParam, lParam) != 0;
}

bool SetWindowTimer(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc) {
    if (!proc) {
        return SetTimer(H(window), id, milliseconds, nullptr) != 0;
    }
    {
        MutexLock lock(timerLock);
        timerRoutines[{H(window), id}] = proc;
    }
    return SetTimer(H(window), id, milliseconds, &TimerThunk) != 0;
}

bool KillWindowTimer(Window window, uintptr_t id) {
    {
        MutexLock lock(timerLock);
        timerRoutines.erase({H(window), id});
    }
    return KillTimer(H(window), id) != 0;
}

bool IsLiveWindow(Window window) {
    return window && IsWindow(H(window));
}

bool SetControlText(Window dialog, int controlId, const wchar_t* text) {
    return SetDlgItemTextW(H(dialog), controlId, text) != 0;
}

int GetControlText(Window dialog, int controlId, wchar_t* out, int size) {
    if (size > 0) {
        out[0] = L'\0';
    }
    return static_cast<int>(GetDlgItemTextW(H(dialog), controlId, out, size));
}

void CheckControl(Window dialog, int controlId, bool checked) {
    CheckDlgButton(H(dialog), controlId, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool IsControlChecked(Window dialog, int controlId) {
    return IsDlgButtonChecked(H(dialog), controlId) == BST_CHECKED;
}

intptr_t SendControlMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                            intptr_t lParam) {
    return SendDlgItemMessageW(H(dialog), controlId, message, wParam, lParam);
}

void EnableControl(Window dialog, int controlId, bool enabled) {
    EnableWindow(GetDlgItem(H(dialog), controlId), enabled);
}

void ShowControl(Window dialog, int controlId, bool shown) {
    ShowWindow(GetDlgItem(H(dialog), controlId), shown ? SW_SHOWNA : SW_HIDE);
}

int ShowMessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags) {
    return MessageBoxW(H(owner), text, title, flags);
}

}  // namespace kiln::platform
