#include "host/dialogs.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "host/window_internal.h"
#include "host/window_system.h"

namespace kiln::host {
namespace {

using window_detail::CopyBounded;
using window_detail::Key;

bool EqualNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(*a) != lower(*b)) {
            return false;
        }
    }
    return *a == *b;
}

// Button types of the style's low four bits.
constexpr uint32_t kListNotify = 0x0001;  // LBS_NOTIFY

constexpr uint32_t kCheckBox = 2, kAutoCheckBox = 3, kRadio = 4, kThreeState = 5,
                   kAutoThreeState = 6, kGroupBox = 7, kAutoRadio = 9;

ControlKind KindOf(const char* className, uint32_t style) {
    if (!className) {
        return ControlKind::Other;
    }
    if (EqualNoCase(className, "Button")) {
        switch (style & win::kButtonTypeMask) {
            case kCheckBox:
            case kAutoCheckBox:
            case kThreeState:
            case kAutoThreeState:
                return ControlKind::CheckBox;
            case kRadio:
            case kAutoRadio:
                return ControlKind::RadioButton;
            case kGroupBox:
                return ControlKind::GroupBox;
            default:
                return ControlKind::PushButton;
        }
    }
    if (EqualNoCase(className, "Edit")) {
        return ControlKind::Edit;
    }
    if (EqualNoCase(className, "Static")) {
        return ControlKind::Static;
    }
    if (EqualNoCase(className, "ComboBox")) {
        return ControlKind::ComboBox;
    }
    if (EqualNoCase(className, "ListBox")) {
        return ControlKind::ListBox;
    }
    return ControlKind::Other;
}

// What GetWindowText gives: a list-only combo box reads as its selection.
const std::wstring& ShownText(const ControlState& control) {
    if (control.kind == ControlKind::ComboBox && control.selection >= 0 &&
        control.selection < static_cast<int>(control.items.size())) {
        return control.items[static_cast<size_t>(control.selection)];
    }
    return control.text;
}

// The link text as wsprintf would make it from the control text and one
// string argument: "%%" becomes "%", the first "%s" the address, and other
// sequences stay as they are.
std::wstring FormatLinkText(const std::wstring& format, const std::wstring& address) {
    std::wstring out;
    bool used = false;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size()) {
            if (format[i + 1] == L'%') {
                out += L'%';
                ++i;
                continue;
            }
            if (format[i + 1] == L's' && !used) {
                out += address;
                used = true;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

// The addresses of the <a href="..."> anchors of a text, in order.
std::vector<std::wstring> LinkTargets(const std::wstring& text) {
    std::vector<std::wstring> targets;
    std::wstring lower(text.size(), L'\0');
    std::transform(text.begin(), text.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    size_t at = 0;
    while ((at = lower.find(L"<a", at)) != std::wstring::npos) {
        size_t close = lower.find(L'>', at);
        size_t href = lower.find(L"href=\"", at);
        if (close == std::wstring::npos) {
            break;
        }
        if (href != std::wstring::npos && href < close) {
            size_t start = href + 6;
            size_t end = text.find(L'"', start);
            if (end != std::wstring::npos) {
                targets.push_back(text.substr(start, end - start));
            }
        }
        at = close + 1;
    }
    return targets;
}

bool LessNoCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](wchar_t x, wchar_t y) { return std::towlower(x) < std::towlower(y); });
}

}  // namespace

// -- dialogs

WindowSystem::ChangeNote::~ChangeNote() {
    ChangeObserver observer;
    {
        MutexLock lock(windows_->mutex_);
        observer = windows_->changeObserver_;
    }
    if (observer) {
        observer(dialog_, controlId_);
    }
}

void WindowSystem::SetChangeObserver(ChangeObserver observer) {
    MutexLock lock(mutex_);
    changeObserver_ = std::move(observer);
}

Window WindowSystem::CreateDialogFromTemplate(const res::DialogEntry* dialog, Window parent,
                                              DialogProc proc, intptr_t param) {
    if (!dialog || !OnMainThread()) {
        return nullptr;
    }
    Window handle = nullptr;
    ChangeNote note(this, nullptr, 0);
    Window focus = nullptr;
    {
        MutexLock lock(mutex_);
        if (parent && !FindLocked(parent)) {
            return nullptr;
        }
        handle = NewHandleLocked();
        WindowRecord record;
        record.kind = WindowKind::Dialog;
        record.parent = parent;
        record.proc = proc;
        record.templateId = dialog->id;
        for (int i = 0; dialog->controls && i < dialog->controlCount; ++i) {
            const res::ControlEntry& entry = dialog->controls[i];
            ControlState control;
            control.handle = NewHandleLocked();
            control.id = entry.id;
            control.className = entry.className ? entry.className : "";
            control.kind = KindOf(entry.className, entry.style);
            control.style = entry.style;
            control.text = entry.text ? entry.text : L"";
            control.enabled = (entry.style & win::kStyleDisabled) == 0;
            control.visible = (entry.style & win::kStyleVisible) != 0;
            if (!focus && control.enabled && control.visible &&
                (entry.style & win::kStyleTabStop) != 0) {
                focus = control.handle;
            }
            WindowRecord child;
            child.kind = WindowKind::Control;
            child.parent = handle;
            windows_[Key(control.handle)] = std::move(child);
            record.controls.push_back(std::move(control));
        }
        windows_[Key(handle)] = std::move(record);
    }
    if (proc) {
        proc(handle, win::kInitDialog, Key(focus), param);
    }
    return IsWindow(handle) ? handle : nullptr;
}

bool WindowSystem::DestroyDialog(Window dialog) {
    if (!OnMainThread()) {
        return false;
    }
    ChangeNote note(this, dialog, 0);
    DialogProc proc = nullptr;
    {
        MutexLock lock(mutex_);
        WindowRecord* record = FindLocked(dialog);
        if (!record || record->destroying ||
            (record->kind != WindowKind::Dialog && record->kind != WindowKind::Frame)) {
            return false;
        }
        record->destroying = true;
        proc = record->proc;
    }
    // As in Win32 the window and its children still exist while the routine
    // handles WM_DESTROY: it may read its controls one last time.
    if (proc) {
        proc(dialog, win::kDestroy, 0, 0);
    }
    for (;;) {
        Window child = nullptr;
        {
            MutexLock lock(mutex_);
            for (const auto& [key, record] : windows_) {
                if (record.parent == dialog && !record.destroying &&
                    (record.kind == WindowKind::Dialog || record.kind == WindowKind::Frame)) {
                    child = reinterpret_cast<Window>(key);
                    break;
                }
            }
        }
        if (!child || !DestroyDialog(child)) {
            break;
        }
    }
    MutexLock lock(mutex_);
    WindowRecord* record = FindLocked(dialog);
    if (!record) {
        return true;
    }
    std::vector<uintptr_t> gone{Key(dialog)};
    for (const auto& control : record->controls) {
        gone.push_back(Key(control.handle));
    }
    auto isGone = [&](uintptr_t key) {
        return std::find(gone.begin(), gone.end(), key) != gone.end();
    };
    for (uintptr_t key : gone) {
        windows_.erase(key);
    }
    std::erase_if(timers_, [&](const auto& timer) { return isGone(timer.first.first); });
    std::erase_if(queue_, [&](const Posted& posted) { return isGone(Key(posted.window)); });
    if (openDialog_ == dialog) {
        openDialog_ = nullptr;
    }
    if (preferences_ == dialog) {
        preferences_ = nullptr;
        openPage_ = 0;
        openTab_ = 0;
    }
    return true;
}

std::vector<Window> WindowSystem::Dialogs() const {
    MutexLock lock(mutex_);
    std::vector<Window> dialogs;
    for (const auto& [key, record] : windows_) {
        if (record.kind == WindowKind::Dialog) {
            dialogs.push_back(reinterpret_cast<Window>(key));
        }
    }
    return dialogs;
}

int WindowSystem::DialogTemplateId(Window dialog) const {
    MutexLock lock(mutex_);
    const WindowRecord* record = FindLocked(dialog);
    return record && record->kind == WindowKind::Dialog ? record->templateId : 0;
}

Window WindowSystem::DialogParent(Window dialog) const {
    MutexLock lock(mutex_);
    const WindowRecord* record = FindLocked(dialog);
    return record && record->kind == WindowKind::Dialog ? record->parent : nullptr;
}

std::optional<ControlState> WindowSystem::Control(Window dialog, int controlId) const {
    MutexLock lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return std::nullopt;
    }
    return *control;
}

void WindowSystem::Notify(Window dialog, int controlId, Window control, unsigned notification) {
    uintptr_t wParam = win::CommandParam(controlId, notification);
    if (OnMainThread()) {
        Deliver(dialog, win::kCommand, wParam, static_cast<intptr_t>(Key(control)));
    } else {
        PostMessage(dialog, win::kCommand, wParam, static_cast<intptr_t>(Key(control)));
    }
}

bool WindowSystem::SetItemText(Window dialog, int controlId, const wchar_t* text) {
    ChangeNote note(this, dialog, controlId);
    Window handle = nullptr;
    bool notify = false;
    {
        MutexLock lock(mutex_);
        ControlState* control = FindControlLocked(dialog, controlId);
        if (!control) {
            return false;
        }
        control->text = text ? text : L"";
        // Win32's edit control reports WM_SETTEXT with EN_CHANGE, except when
        // it is multi-line.
        notify = control->kind == ControlKind::Edit && (control->style & win::kEditMultiLine) == 0;
        handle = control->handle;
    }
    if (notify) {
        Notify(dialog, controlId, handle, win::kEditChange);
    }
    return true;
}

int WindowSystem::GetItemText(Window dialog, int controlId, wchar_t* out, int size) const {
    MutexLock lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        if (out && size > 0) {
            out[0] = L'\0';
        }
        return 0;
    }
    return CopyBounded(ShownText(*control), out, size);
}

bool WindowSystem::CheckItem(Window dialog, int controlId, int state) {
    ChangeNote note(this, dialog, controlId);
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control ||
        (control->kind != ControlKind::CheckBox && control->kind != ControlKind::RadioButton)) {
        return false;
    }
    uint32_t type = control->style & win::kButtonTypeMask;
    bool threeState = type == kThreeState || type == kAutoThreeState;
    control->checked = state == 0 ? 0 : (state == 2 && threeState ? 2 : 1);
    return true;
}

int WindowSystem::IsItemChecked(Window dialog, int controlId) const {
    MutexLock lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    return control ? control->checked : 0;
}

bool WindowSystem::EnableItem(Window dialog, int controlId, bool enabled) {
    ChangeNote note(this, dialog, controlId);
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return false;
    }
    control->enabled = enabled;
    return true;
}

bool WindowSystem::IsItemEnabled(Window dialog, int controlId) const {
    MutexLock lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    return control && control->enabled;
}

bool WindowSystem::ShowItem(Window dialog, int controlId, bool shown) {
    ChangeNote note(this, dialog, controlId);
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return false;
    }
    control->visible = shown;
    return true;
}

bool WindowSystem::IsItemVisible(Window dialog, int controlId) const {
    MutexLock lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    return control && control->visible;
}

intptr_t WindowSystem::SendItemMessage(Window dialog, int controlId, unsigned message,
                                       uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case win::kSetText:
            return SetItemText(dialog, controlId, reinterpret_cast<const wchar_t*>(lParam)) ? 1 : 0;
        case win::kGetText:
            return GetItemText(dialog, controlId, reinterpret_cast<wchar_t*>(lParam),
                               static_cast<int>(std::min<uintptr_t>(wParam, 0x7FFFFFFF)));
        case win::kButtonSetCheck:
            CheckItem(dialog, controlId, static_cast<int>(wParam));
            return 0;
        case win::kButtonGetCheck:
            return IsItemChecked(dialog, controlId);
        default:
            break;
    }
    ChangeNote note(this, dialog, controlId);  // limits, read-only, combo lists
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return 0;
    }
    bool edit = control->kind == ControlKind::Edit;
    switch (message) {
        case win::kGetTextLength:
            return static_cast<intptr_t>(ShownText(*control).size());
        case win::kEditLimitText:
            if (edit) {
                control->limit =
                    wParam == 0 ? win::kNoEditLimit : std::min<size_t>(wParam, win::kNoEditLimit);
            }
            return 0;
        case win::kEditGetLimitText:
            return edit ? static_cast<intptr_t>(control->limit) : 0;
        case win::kEditSetReadOnly:
            if (!edit) {
                return 0;
            }
            control->style = wParam ? (control->style | win::kEditReadOnly)
                                    : (control->style & ~win::kEditReadOnly);
            return 1;
        default:
            break;
    }
    if (control->kind == ControlKind::ComboBox) {
        return ComboMessageLocked(*control, message, wParam, lParam);
    }
    if (control->kind == ControlKind::ListBox) {
        return ListMessageLocked(*control, message, wParam, lParam);
    }
    return 0;
}

// A list box of strings, in the order added; single or multiple selection.
intptr_t WindowSystem::ListMessageLocked(ControlState& control, unsigned message, uintptr_t wParam,
                                         intptr_t lParam) {
    auto& items = control.items;
    auto& selected = control.selected;
    const int count = static_cast<int>(items.size());
    const int index = static_cast<int>(static_cast<intptr_t>(wParam));
    const bool multiple = (control.style & (win::kListMultiple | win::kListExtended)) != 0;
    switch (message) {
        case win::kListAddString:
            if (!lParam) {
                return win::kListError;
            }
            items.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
            selected.push_back(false);
            return count;
        case win::kListResetContent:
            items.clear();
            selected.clear();
            return 0;
        case win::kListGetCount:
            return count;
        case win::kListGetSel: {
            const int at = static_cast<int>(lParam);
            return at >= 0 && at < count ? (selected[static_cast<size_t>(at)] ? 1 : 0)
                                         : win::kListError;
        }
        case win::kListSetSel: {
            // wParam: select or not; lParam: the item, -1 for all of them.
            if (!multiple) {
                return win::kListError;
            }
            const int at = static_cast<int>(lParam);
            if (at == -1) {
                std::fill(selected.begin(), selected.end(), wParam != 0);
                return 0;
            }
            if (at < 0 || at >= count) {
                return win::kListError;
            }
            selected[static_cast<size_t>(at)] = wParam != 0;
            return 0;
        }
        case win::kListGetSelCount:
            if (!multiple) {
                return win::kListError;
            }
            return std::count(selected.begin(), selected.end(), true);
        case win::kListGetSelItems: {
            if (!multiple || !lParam) {
                return win::kListError;
            }
            auto out = reinterpret_cast<int*>(lParam);
            int written = 0;
            for (int i = 0; i < count && written < static_cast<int>(wParam); ++i) {
                if (selected[static_cast<size_t>(i)]) {
                    out[written++] = i;
                }
            }
            return written;
        }
        case win::kListGetText: {
            if (index < 0 || index >= count || !lParam) {
                return win::kListError;
            }
            // Like Win32, the caller promises room for the whole item.
            const std::wstring& text = items[static_cast<size_t>(index)];
            auto out = reinterpret_cast<wchar_t*>(lParam);
            std::copy(text.begin(), text.end(), out);
            out[text.size()] = L'\0';
            return static_cast<intptr_t>(text.size());
        }
        case win::kListGetTextLen:
            return index >= 0 && index < count
                       ? static_cast<intptr_t>(items[static_cast<size_t>(index)].size())
                       : win::kListError;
        default:
            return 0;
    }
}

intptr_t WindowSystem::ComboMessageLocked(ControlState& control, unsigned message, uintptr_t wParam,
                                          intptr_t lParam) {
    auto& items = control.items;
    const int count = static_cast<int>(items.size());
    const int index = static_cast<int>(static_cast<intptr_t>(wParam));
    const bool valid = index >= 0 && index < count;
    auto insertAt = [&](int at, const wchar_t* text) -> intptr_t {
        items.insert(items.begin() + at, std::wstring(text));
        if (control.selection >= at) {
            ++control.selection;  // the selected item keeps its selection
        }
        return at;
    };
    switch (message) {
        case win::kComboAddString: {
            if (!lParam) {
                return win::kComboError;
            }
            auto text = reinterpret_cast<const wchar_t*>(lParam);
            int at = count;
            if (control.style & win::kComboSort) {
                at = static_cast<int>(
                    std::upper_bound(items.begin(), items.end(), std::wstring(text), LessNoCase) -
                    items.begin());
            }
            return insertAt(at, text);
        }
        case win::kComboInsertString: {
            int at = index == -1 ? count : index;
            if (!lParam || at < 0 || at > count) {
                return win::kComboError;
            }
            return insertAt(at, reinterpret_cast<const wchar_t*>(lParam));
        }
        case win::kComboDeleteString:
            if (!valid) {
                return win::kComboError;
            }
            items.erase(items.begin() + index);
            if (control.selection == index) {
                control.selection = -1;
            } else if (control.selection > index) {
                --control.selection;
            }
            return count - 1;
        case win::kComboGetCount:
            return count;
        case win::kComboGetCurSel:
            return control.selection;
        case win::kComboSetCurSel:
            control.selection = valid ? index : -1;
            return valid ? index : win::kComboError;
        case win::kComboGetLbText: {
            if (!valid || !lParam) {
                return win::kComboError;
            }
            // Like Win32, the caller promises room for the whole item.
            const std::wstring& text = items[static_cast<size_t>(index)];
            auto out = reinterpret_cast<wchar_t*>(lParam);
            std::copy(text.begin(), text.end(), out);
            out[text.size()] = L'\0';
            return static_cast<intptr_t>(text.size());
        }
        case win::kComboGetLbTextLen:
            return valid ? static_cast<intptr_t>(items[static_cast<size_t>(index)].size())
                         : win::kComboError;
        case win::kComboResetContent:
            items.clear();
            control.selection = -1;
            return 0;
        default:
            return 0;
    }
}

// -- what the user does

bool WindowSystem::ClickButton(Window dialog, int controlId) {
    if (!OnMainThread()) {
        return false;
    }
    ChangeNote note(this, dialog, controlId);
    Window handle = nullptr;
    {
        MutexLock lock(mutex_);
        ControlState* control = FindControlLocked(dialog, controlId);
        if (!control || !control->enabled || !control->visible) {
            return false;
        }
        uint32_t type = control->style & win::kButtonTypeMask;
        switch (control->kind) {
            case ControlKind::PushButton:
                break;
            case ControlKind::CheckBox:
                if (type == kAutoCheckBox) {
                    control->checked = control->checked == 1 ? 0 : 1;
                } else if (type == kAutoThreeState) {
                    control->checked = (control->checked + 1) % 3;
                }
                break;
            case ControlKind::RadioButton:
                if (type == kAutoRadio) {
                    // Its group runs from the last control marked as a group
                    // start up to the next one.
                    auto& controls = FindLocked(dialog)->controls;
                    size_t at = static_cast<size_t>(control - controls.data());
                    size_t first = at;
                    while (first > 0 && (controls[first].style & win::kStyleGroup) == 0) {
                        --first;
                    }
                    for (size_t i = first; i < controls.size(); ++i) {
                        if (i > at && (controls[i].style & win::kStyleGroup) != 0) {
                            break;
                        }
                        if (controls[i].kind == ControlKind::RadioButton &&
                            (controls[i].style & win::kButtonTypeMask) == kAutoRadio) {
                            controls[i].checked = i == at ? 1 : 0;
                        }
                    }
                }
                break;
            default:
                return false;
        }
        handle = control->handle;
    }
    Notify(dialog, controlId, handle, win::kButtonClicked);
    return true;
}

bool WindowSystem::TypeText(Window dialog, int controlId, const std::wstring& text) {
    if (!OnMainThread()) {
        return false;
    }
    ChangeNote note(this, dialog, controlId);
    Window handle = nullptr;
    {
        MutexLock lock(mutex_);
        ControlState* control = FindControlLocked(dialog, controlId);
        if (!control || control->kind != ControlKind::Edit || !control->enabled ||
            !control->visible || (control->style & win::kEditReadOnly) != 0) {
            return false;
        }
        std::wstring typed;
        for (wchar_t c : text) {
            if ((control->style & win::kEditNumber) == 0 || (c >= L'0' && c <= L'9')) {
                typed += c;
            }
        }
        if (typed.size() > control->limit) {
            typed.resize(control->limit);
        }
        control->text = std::move(typed);
        handle = control->handle;
    }
    Notify(dialog, controlId, handle, win::kEditChange);
    return true;
}

bool WindowSystem::SelectCombo(Window dialog, int controlId, int index) {
    if (!OnMainThread()) {
        return false;
    }
    ChangeNote note(this, dialog, controlId);
    Window handle = nullptr;
    {
        MutexLock lock(mutex_);
        ControlState* control = FindControlLocked(dialog, controlId);
        if (!control || control->kind != ControlKind::ComboBox || !control->enabled ||
            !control->visible || index < 0 || index >= static_cast<int>(control->items.size())) {
            return false;
        }
        control->selection = index;
        handle = control->handle;
    }
    Notify(dialog, controlId, handle, win::kComboSelChange);
    return true;
}

bool WindowSystem::SelectListItems(Window dialog, int controlId, const std::vector<int>& indices) {
    if (!OnMainThread()) {
        return false;
    }
    ChangeNote note(this, dialog, controlId);
    Window handle = nullptr;
    bool notify = false;
    {
        MutexLock lock(mutex_);
        ControlState* control = FindControlLocked(dialog, controlId);
        if (!control || control->kind != ControlKind::ListBox || !control->enabled ||
            !control->visible) {
            return false;
        }
        const bool multiple = (control->style & (win::kListMultiple | win::kListExtended)) != 0;
        const int count = static_cast<int>(control->items.size());
        if ((!multiple && indices.size() > 1) ||
            std::any_of(indices.begin(), indices.end(),
                        [count](int i) { return i < 0 || i >= count; })) {
            return false;
        }
        std::fill(control->selected.begin(), control->selected.end(), false);
        for (int i : indices) {
            control->selected[static_cast<size_t>(i)] = true;
        }
        control->selection = indices.empty() ? -1 : indices.front();
        handle = control->handle;
        notify = (control->style & kListNotify) != 0;
    }
    if (notify) {
        Notify(dialog, controlId, handle, win::kListSelChange);
    }
    return true;
}

bool WindowSystem::ClickLink(Window dialog, int controlId, int index) {
    std::wstring address;
    {
        MutexLock lock(mutex_);
        const ControlState* control = FindControlLocked(dialog, controlId);
        if (!control || !control->enabled || !control->visible || index < 0) {
            return false;
        }
        std::vector<std::wstring> targets = LinkTargets(control->text);
        if (index >= static_cast<int>(targets.size())) {
            return false;
        }
        address = targets[static_cast<size_t>(index)];
    }
    return OpenUrl(dialog, address.c_str(), 0) != 0;
}

bool WindowSystem::SetLinkText(Window page, int controlId, const wchar_t* address) {
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(page, controlId);
    if (!control) {
        return false;
    }
    control->text = FormatLinkText(control->text, address ? address : L"");
    return true;
}

void* WindowSystem::StyleButton(Window page, int controlId, void* /*previous*/) {
    MutexLock lock(mutex_);
    ControlState* control = FindControlLocked(page, controlId);
    if (!control) {
        return nullptr;
    }
    control->styled = true;
    return NewHandleLocked();
}

}  // namespace kiln::host
