// Window timers, posted messages, dialog controls and message boxes.
// On Windows these are user32's; on Linux the substitute host owns the main
// loop and the windows, and this layer forwards to its services.
#pragma once

#include <cstdint>

#include "core/handles.h"
#include "core/win32.h"

namespace kiln::platform {

inline constexpr unsigned kMsgDestroy = win::kDestroy;
inline constexpr unsigned kMsgInitDialog = win::kInitDialog;
inline constexpr unsigned kMsgCommand = win::kCommand;
inline constexpr unsigned kMsgUser = win::kUser;  // the host's IPC message

inline constexpr unsigned kNotifyClicked = win::kButtonClicked;
inline constexpr unsigned kNotifySelChange = win::kComboSelChange;
inline constexpr unsigned kNotifyEditChange = win::kEditChange;

inline constexpr unsigned kEditLimitText = win::kEditLimitText;
inline constexpr unsigned kComboAddString = win::kComboAddString;
inline constexpr unsigned kComboGetCurSel = win::kComboGetCurSel;
inline constexpr unsigned kComboSetCurSel = win::kComboSetCurSel;

inline constexpr unsigned kBoxYesNo = win::kBoxYesNo;
inline constexpr unsigned kBoxIconQuestion = win::kBoxIconQuestion;
inline constexpr unsigned kBoxIconWarning = win::kBoxIconWarning;
inline constexpr unsigned kBoxDefaultSecond = win::kBoxDefaultSecond;
inline constexpr int kAnswerYes = win::kIdYes;
inline constexpr int kAnswerNo = win::kIdNo;

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

using win::CommandParam;

}  // namespace kiln::platform
