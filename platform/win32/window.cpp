#include "platform/window.h"

#include <windows.h>

namespace kiln::platform {

namespace {
HWND H(Window w) {
    return static_cast<HWND>(w);
}
}  // namespace

bool PostToWindow(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(H(window), message, wParam, lParam) != 0;
}

bool SetWindowTimer(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc) {
    return SetTimer(H(window), id, milliseconds, reinterpret_cast<TIMERPROC>(proc)) != 0;
}

bool KillWindowTimer(Window window, uintptr_t id) {
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
