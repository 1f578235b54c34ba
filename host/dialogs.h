// Dialogs and controls of the substitute host's window system: what a
// control holds. The Win32 numbers they understand are core/win32.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/win32.h"

namespace kiln::host {

// Tests and host code name the Win32 numbers as host::win::...
namespace win = ::kiln::win;

enum class ControlKind {
    PushButton,
    CheckBox,
    RadioButton,
    GroupBox,
    Edit,
    Static,
    ComboBox,
    ListBox,
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
    std::vector<std::wstring> items;        // combo and list boxes
    int selection = -1;
    std::vector<bool> selected;  // list boxes: one flag per item
    bool styled = false;         // the host's button styling was applied
};

}  // namespace kiln::host
