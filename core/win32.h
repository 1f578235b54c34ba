// Win32's message numbers, notifications, styles and answers that the plug-in
// and its hosts use, under names of our own so that no code outside the
// Windows backends needs <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::win {

inline constexpr unsigned kDestroy = 0x0002;
inline constexpr unsigned kSetText = 0x000C;
inline constexpr unsigned kGetText = 0x000D;
inline constexpr unsigned kGetTextLength = 0x000E;
inline constexpr unsigned kInitDialog = 0x0110;
inline constexpr unsigned kCommand = 0x0111;
inline constexpr unsigned kTimer = 0x0113;
inline constexpr unsigned kUser = 0x0400;

inline constexpr unsigned kButtonClicked = 0;    // BN_CLICKED
inline constexpr unsigned kComboSelChange = 1;   // CBN_SELCHANGE
inline constexpr unsigned kEditChange = 0x0300;  // EN_CHANGE

inline constexpr unsigned kEditLimitText = 0x00C5;
inline constexpr unsigned kEditSetReadOnly = 0x00CF;
inline constexpr unsigned kEditGetLimitText = 0x00D5;
inline constexpr unsigned kButtonGetCheck = 0x00F0;
inline constexpr unsigned kButtonSetCheck = 0x00F1;
inline constexpr unsigned kComboAddString = 0x0143;
inline constexpr unsigned kComboDeleteString = 0x0144;
inline constexpr unsigned kComboGetCount = 0x0146;
inline constexpr unsigned kComboGetCurSel = 0x0147;
inline constexpr unsigned kComboGetLbText = 0x0148;
inline constexpr unsigned kComboGetLbTextLen = 0x0149;
inline constexpr unsigned kComboInsertString = 0x014A;
inline constexpr unsigned kComboResetContent = 0x014B;
inline constexpr unsigned kComboSetCurSel = 0x014E;
inline constexpr intptr_t kComboError = -1;  // CB_ERR
// List boxes (multiple selection)
inline constexpr unsigned kListAddString = 0x0180;
inline constexpr unsigned kListResetContent = 0x0184;
inline constexpr unsigned kListSetSel = 0x0185;
inline constexpr unsigned kListGetSel = 0x0187;
inline constexpr unsigned kListGetText = 0x0189;
inline constexpr unsigned kListGetTextLen = 0x018A;
inline constexpr unsigned kListGetCount = 0x018B;
inline constexpr unsigned kListGetSelCount = 0x0190;
inline constexpr unsigned kListGetSelItems = 0x0191;
inline constexpr intptr_t kListError = -1;     // LB_ERR
inline constexpr unsigned kListSelChange = 1;  // LBN_SELCHANGE

// Window and control styles read from the templates.
inline constexpr uint32_t kStyleVisible = 0x10000000;
inline constexpr uint32_t kStyleDisabled = 0x08000000;
inline constexpr uint32_t kStyleGroup = 0x00020000;
inline constexpr uint32_t kStyleTabStop = 0x00010000;
inline constexpr uint32_t kButtonTypeMask = 0x000F;
inline constexpr uint32_t kEditMultiLine = 0x0004;
inline constexpr uint32_t kEditReadOnly = 0x0800;
inline constexpr uint32_t kEditNumber = 0x2000;
inline constexpr uint32_t kComboSort = 0x0100;
inline constexpr uint32_t kListMultiple = 0x0008;  // LBS_MULTIPLESEL
inline constexpr uint32_t kListExtended = 0x0800;  // LBS_EXTENDEDSEL

// The limit of an edit box nobody has limited, and of EM_LIMITTEXT 0.
inline constexpr size_t kDefaultEditLimit = 32767;
inline constexpr size_t kNoEditLimit = 0x7FFFFFFE;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Menu item flags (MF_GRAYED, MF_DISABLED, MF_CHECKED), as the add-menu-item
// service takes them.
inline constexpr int kMenuGreyed = 1;
inline constexpr int kMenuDisabled = 2;
inline constexpr int kMenuChecked = 8;

// Message box styles.
inline constexpr unsigned kBoxIconError = 0x0010;
inline constexpr unsigned kBoxIconInformation = 0x0040;
inline constexpr unsigned kBoxYesNo = 0x0004;
inline constexpr unsigned kBoxIconQuestion = 0x0020;
inline constexpr unsigned kBoxIconWarning = 0x0030;
inline constexpr unsigned kBoxDefaultSecond = 0x0100;

constexpr uintptr_t CommandParam(int controlId, unsigned notification) {
    return (static_cast<uintptr_t>(notification & 0xFFFF) << 16) |
           (static_cast<uintptr_t>(controlId) & 0xFFFF);
}

}  // namespace kiln::win
