// Window timers, posted messages, dialog controls and message boxes.
// On Windows these are user32's; on Linux the substitute host owns the main
// loop and the windows, and this layer forwards to its services.
#pragma once

#include <cstdint>

#include "plugin/host_services.h"

namespace kiln::platform {

inline constexpr unsigned kMsgDestroy = 0x0002;
inline constexpr unsigned kMsgInitDialog = 0x0110;
inline constexpr unsigned kMsgCommand = 0x0111;
inline constexpr unsigned kMsgUser = 0x0400;  // the host's IPC message

inline constexpr unsigned kNotifyClicked = 0;          // BN_CLICKED
inline constexpr unsigned kNotifySelChange = 1;        // CBN_SELCHANGE
inline constexpr unsigned kNotifyEditChange = 0x0300;  // EN_CHANGE

inline constexpr unsigned kEditLimitText = 0x00C5;
inline constexpr unsigned kComboAddString = 0x0143;
inline constexpr unsigned kComboGetCurSel = 0x0147;
inline constexpr unsigned kComboSetCurSel = 0x014E;

inline constexpr unsigned kBoxYesNo = 0x0004;
inline constexpr unsigned kBoxIconQuestion = 0x0020;
inline constexpr unsigned kBoxIconWarning = 0x0030;
inline constexpr unsigned kBoxDefaultSecond = 0x0100;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

bool PostToWindow(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
bool SetWindowTimer(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc);
bool KillWindowTimer(Window window, uintptr_t id);
bool IsLiveWindow(Window window);

bool SetControlText(Window dialog, int controlId, const wchar_t* text);
int GetControlText(Window dialog, int controlId, wchar_t* out, int size);
void CheckControl(Window dialog, int controlId, bool checked);
bool IsControlChecked(Window dialog, int controlId);
intptr_t SendControlMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                            intptr_t lParam);
void EnableControl(Window dialog, int controlId, bool enabled);
void ShowControl(Window dialog, int controlId, bool shown);

int ShowMessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags);

// Packs a WM_COMMAND wParam.
constexpr uintptr_t CommandParam(int controlId, unsigned notification) {
    return (static_cast<uintptr_t>(notification) << 16) |
           (static_cast<uintptr_t>(controlId) & 0xFFFF);
}

}  // namespace kiln::platform
