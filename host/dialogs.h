// Dialogs and controls of the substitute host's window system: the Win32
// message numbers and styles they understand, and what a control holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host_services.h"

namespace kiln::host {

// Message numbers, notifications and answers, as Win32 has them.
namespace win {
inline constexpr unsigned kDestroy = 0x0002;
inline constexpr unsigned kSetText = 0x000C;
inline constexpr unsigned kGetText = 0x000D;
inline constexpr unsigned kGetTextLength = 0x000E;
inline constexpr unsigned kInitDialog = 0x0110;
inline constexpr unsigned kCommand = 0x0111;
inline constexpr unsigned kTimer = 0x0113;

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

// The limit of an edit box nobody has limited, and of EM_LIMITTEXT 0.
inline constexpr size_t kDefaultEditLimit = 32767;
inline constexpr size_t kNoEditLimit = 0x7FFFFFFE;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Menu item flags of the add-menu-item service.
inline constexpr int kMenuGreyed = 1;
inline constexpr int kMenuDisabled = 2;

constexpr uintptr_t CommandParam(int controlId, unsigned notification) {
    return (static_cast<uintptr_t>(notification & 0xFFFF) << 16) |
           (static_cast<uintptr_t>(controlId) & 0xFFFF);
}
}  // namespace win

enum class ControlKind {
    PushButton,
    CheckBox,
    RadioButton,
    GroupBox,
    Edit,
    Static,
    ComboBox,
    Other
};

// A snapshot of one control, for tests and for kiln-host's display.
struct ControlState {
    Window handle = nullptr;
    int id = 0;
    ControlKind kind = ControlKind::Other;
    std::string className;
    uint32_t style = 0;
    std::wstring text;
    bool enabled = true;
    bool visible = true;
    int checked = 0;                        // 0, 1, or 2 (indeterminate)
    size_t limit = win::kDefaultEditLimit;  // edits: characters the user may type
    std::vector<std::wstring> items;        // combo boxes
    int selection = -1;
    bool styled = false;  // the host's button styling was applied
};

}  // namespace kiln::host
