#include "host/window_system.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <limits>

namespace kiln::host {
namespace {

using Clock = std::chrono::steady_clock;

uintptr_t Key(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

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
    return ControlKind::Other;
}

int CopyBounded(const std::wstring& text, wchar_t* out, int size) {
    if (!out || size <= 0) {
        return 0;
    }
    size_t count = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::copy_n(text.data(), count, out);
    out[count] = L'\0';
    return static_cast<int>(count);
}

// What GetWindowText gives: a list-only combo box reads as its selection.
const std::wstring& ShownText(const ControlState& control) {
    if (control.kind == ControlKind::ComboBox && control.selection >= 0 &&
        control.selection < static_cast<int>(control.items.size())) {
        return control.items[static_cast<size_t>(control.selection)];
    }
    return control.text;
}

uint32_t TickCount() {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
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

int DefaultAnswer(unsigned flags) {
    switch (flags & 0xF) {
        case 0:  // OK
            return win::kIdOk;
        case 1:  // OK, Cancel
        case 5:  // Retry, Cancel
        case 6:  // Cancel, Try again, Continue
            return win::kIdCancel;
        case 2:  // Abort, Retry, Ignore
            return win::kIdAbort;
        default:  // Yes, No (and Cancel)
            return win::kIdNo;
    }
}

}  // namespace

WindowSystem::WindowSystem() : mainThread_(std::this_thread::get_id()) {
    std::lock_guard lock(mutex_);
    mainWindow_ = NewHandleLocked();
    windows_[Key(mainWindow_)].kind = WindowKind::Main;
}

// Dialogs still open are left alone: their routines may belong to a library
// that is gone by now.
WindowSystem::~WindowSystem() = default;

bool WindowSystem::OnMainThread() const {
    return mainThread_.load() == std::this_thread::get_id();
}

void WindowSystem::BecomeMainThread() {
    mainThread_.store(std::this_thread::get_id());
}

Window WindowSystem::NewHandleLocked() {
    Window handle = reinterpret_cast<Window>(nextHandle_);
    nextHandle_ += 4;
    return handle;
}

WindowSystem::WindowRecord* WindowSystem::FindLocked(Window window) {
    auto it = windows_.find(Key(window));
    return it == windows_.end() ? nullptr : &it->second;
}

const WindowSystem::WindowRecord* WindowSystem::FindLocked(Window window) const {
    auto it = windows_.find(Key(window));
    return it == windows_.end() ? nullptr : &it->second;
}

ControlState* WindowSystem::FindControlLocked(Window dialog, int controlId) {
    WindowRecord* record = FindLocked(dialog);
    if (!record || record->kind != WindowKind::Dialog) {
        return nullptr;
    }
    for (auto& control : record->controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

const ControlState* WindowSystem::FindControlLocked(Window dialog, int controlId) const {
    return const_cast<WindowSystem*>(this)->FindControlLocked(dialog, controlId);
}

// -- the main window, messages and timers

void WindowSystem::SetMainWindowHandler(MainWindowHandler handler) {
    std::lock_guard lock(mutex_);
    mainHandler_ = std::move(handler);
}

void WindowSystem::SetMessageHook(MessageHookProc hook) {
    std::lock_guard lock(mutex_);
    hook_ = hook;
}

bool WindowSystem::PostLocked(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (!window || !FindLocked(window)) {
        return false;
    }
    queue_.push_back(Posted{++lastSeq_, window, message, wParam, lParam});
    ++changes_;
    wakeup_.notify_all();
    return true;
}

bool WindowSystem::PostMessage(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard lock(mutex_);
    return PostLocked(window, message, wParam, lParam);
}

intptr_t WindowSystem::SendMessage(Window window, unsigned message, uintptr_t wParam,
                                   intptr_t lParam) {
    if (!OnMainThread()) {
        PostMessage(window, message, wParam, lParam);
        return 0;
    }
    return Deliver(window, message, wParam, lParam);
}

intptr_t WindowSystem::Deliver(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    MainWindowHandler handler;
    MessageHookProc hook = nullptr;
    DialogProc proc = nullptr;
    {
        std::lock_guard lock(mutex_);
        const WindowRecord* record = FindLocked(window);
        if (!record) {
            return 0;
        }
        if (record->kind == WindowKind::Main) {
            handler = mainHandler_;
            hook = hook_;
        } else if (record->kind == WindowKind::Dialog) {
            proc = record->proc;
        }
    }
    if (handler) {
        handler(message, wParam, lParam);
    }
    if (hook) {
        hook(window, message, wParam, lParam);
    }
    return proc ? proc(window, message, wParam, lParam) : 0;
}

uintptr_t WindowSystem::SetTimer(Window window, uintptr_t id, unsigned milliseconds,
                                 TimerProc proc) {
    // Win32's bounds: shorter periods are raised to 10 ms, longer ones cut.
    milliseconds = std::clamp(milliseconds, 10u, 0x7FFFFFFFu);
    std::lock_guard lock(mutex_);
    if (window) {
        if (!FindLocked(window)) {
            return 0;
        }
    } else if (id == 0 || timers_.count({0, id}) == 0) {
        id = nextThreadTimerId_++;
    }
    auto interval = std::chrono::milliseconds(milliseconds);
    timers_[{Key(window), id}] = TimerRecord{interval, proc, Clock::now() + interval};
    ++changes_;
    wakeup_.notify_all();
    return id != 0 ? id : 1;
}

bool WindowSystem::KillTimer(Window window, uintptr_t id) {
    std::lock_guard lock(mutex_);
    return timers_.erase({Key(window), id}) != 0;
}

bool WindowSystem::IsWindow(Window window) const {
    std::lock_guard lock(mutex_);
    return window && FindLocked(window);
}

unsigned WindowSystem::RegisterMessage(const char* name) {
    if (!name || !*name) {
        return 0;
    }
    std::string key(name);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    std::lock_guard lock(mutex_);
    auto it = registered_.find(key);
    if (it != registered_.end()) {
        return it->second;
    }
    if (nextRegistered_ > 0xFFFF) {
        return 0;
    }
    unsigned code = nextRegistered_++;
    registered_.emplace(std::move(key), code);
    return code;
}

// -- the loop

bool WindowSystem::DispatchOne(Clock::time_point now, uint64_t lastSeq) {
    Window window = nullptr;
    unsigned message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    TimerProc timerProc = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty() && queue_.front().seq <= lastSeq) {
            Posted posted = queue_.front();
            queue_.pop_front();
            window = posted.window;
            message = posted.message;
            wParam = posted.wParam;
            lParam = posted.lParam;
        } else {
            // Posted messages come first; of the due timers the longest due.
            auto due = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.due <= now &&
                    (due == timers_.end() || it->second.due < due->second.due)) {
                    due = it;
                }
            }
            if (due == timers_.end()) {
                return false;
            }
            // A late timer fires once, not once per missed period.
            due->second.due = Clock::now() + due->second.interval;
            window = reinterpret_cast<Window>(due->first.first);
            message = win::kTimer;
            wParam = due->first.second;
            timerProc = due->second.proc;
            if (timerProc) {
                lParam = 0;
            } else if (!window) {
                return true;  // a thread timer with nobody to tell
            }
        }
    }
    if (timerProc) {
        timerProc(window, message, wParam, TickCount());
    } else {
        Deliver(window, message, wParam, lParam);
    }
    return true;
}

void WindowSystem::RunPending() {
    BecomeMainThread();
    uint64_t lastSeq = 0;
    {
        std::lock_guard lock(mutex_);
        lastSeq = lastSeq_;
    }
    Clock::time_point now = Clock::now();
    while (DispatchOne(now, lastSeq)) {
    }
}

bool WindowSystem::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                            std::chrono::milliseconds recheck) {
    BecomeMainThread();
    using namespace std::chrono_literals;
    Clock::time_point deadline = Clock::time_point::max();
    if (timeout < std::chrono::hours(24 * 365 * 10)) {
        deadline = Clock::now() + std::max(timeout, 0ms);
    }
    constexpr uint64_t kAnySeq = std::numeric_limits<uint64_t>::max();
    for (;;) {
        uint64_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = changes_;
        }
        if (done && done()) {
            return true;
        }
        if (DispatchOne(Clock::now(), kAnySeq)) {
            continue;
        }
        std::unique_lock lock(mutex_);
        if (changes_ != seen || !queue_.empty()) {
            continue;
        }
        Clock::time_point now = Clock::now();
        if (now >= deadline) {
            break;
        }
        Clock::time_point wake = deadline;
        for (const auto& [key, timer] : timers_) {
            wake = std::min(wake, timer.due);
        }
        if (recheck > 0ms) {
            wake = std::min(wake, now + recheck);
        }
        auto changed = [&] { return changes_ != seen; };
        if (wake == Clock::time_point::max()) {
            wakeup_.wait(lock, changed);
        } else {
            wakeup_.wait_until(lock, wake, changed);
        }
    }
    return done && done();
}

void WindowSystem::RunFor(std::chrono::milliseconds duration) {
    RunUntil(nullptr, duration);
}

void WindowSystem::Quit() {
    std::lock_guard lock(mutex_);
    quitRequested_ = true;
    quitSeq_ = lastSeq_;
    ++changes_;
    wakeup_.notify_all();
}

bool WindowSystem::RunUntilQuit(std::chrono::milliseconds timeout) {
    return RunUntil(
        [this] {
            std::lock_guard lock(mutex_);
            if (!quitRequested_ || (!queue_.empty() && queue_.front().seq <= quitSeq_)) {
                return false;
            }
            quitRequested_ = false;
            return true;
        },
        timeout);
}

void WindowSystem::Wake() {
    std::lock_guard lock(mutex_);
    ++changes_;
    wakeup_.notify_all();
}

// -- dialogs

Window WindowSystem::CreateDialogFromTemplate(const res::DialogEntry* dialog, Window parent,
                                              DialogProc proc, intptr_t param) {
    if (!dialog || !OnMainThread()) {
        return nullptr;
    }
    Window handle = nullptr;
    Window focus = nullptr;
    {
        std::lock_guard lock(mutex_);
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
    DialogProc proc = nullptr;
    {
        std::lock_guard lock(mutex_);
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
            std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    std::vector<Window> dialogs;
    for (const auto& [key, record] : windows_) {
        if (record.kind == WindowKind::Dialog) {
            dialogs.push_back(reinterpret_cast<Window>(key));
        }
    }
    return dialogs;
}

int WindowSystem::DialogTemplateId(Window dialog) const {
    std::lock_guard lock(mutex_);
    const WindowRecord* record = FindLocked(dialog);
    return record && record->kind == WindowKind::Dialog ? record->templateId : 0;
}

Window WindowSystem::DialogParent(Window dialog) const {
    std::lock_guard lock(mutex_);
    const WindowRecord* record = FindLocked(dialog);
    return record && record->kind == WindowKind::Dialog ? record->parent : nullptr;
}

std::optional<ControlState> WindowSystem::Control(Window dialog, int controlId) const {
    std::lock_guard lock(mutex_);
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
    Window handle = nullptr;
    bool notify = false;
    {
        std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    return control ? control->checked : 0;
}

bool WindowSystem::EnableItem(Window dialog, int controlId, bool enabled) {
    std::lock_guard lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return false;
    }
    control->enabled = enabled;
    return true;
}

bool WindowSystem::IsItemEnabled(Window dialog, int controlId) const {
    std::lock_guard lock(mutex_);
    const ControlState* control = FindControlLocked(dialog, controlId);
    return control && control->enabled;
}

bool WindowSystem::ShowItem(Window dialog, int controlId, bool shown) {
    std::lock_guard lock(mutex_);
    ControlState* control = FindControlLocked(dialog, controlId);
    if (!control) {
        return false;
    }
    control->visible = shown;
    return true;
}

bool WindowSystem::IsItemVisible(Window dialog, int controlId) const {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    return 0;
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
    Window handle = nullptr;
    {
        std::lock_guard lock(mutex_);
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
    Window handle = nullptr;
    {
        std::lock_guard lock(mutex_);
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
    Window handle = nullptr;
    {
        std::lock_guard lock(mutex_);
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

bool WindowSystem::ClickLink(Window dialog, int controlId, int index) {
    std::wstring address;
    {
        std::lock_guard lock(mutex_);
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

// -- preference pages

void WindowSystem::SetTemplateFinder(TemplateFinder finder) {
    std::lock_guard lock(mutex_);
    finder_ = std::move(finder);
}

intptr_t WindowSystem::AddPage(Instance instance, int flags, const wchar_t* name,
                               const PrefsTab* tabs, int tabCount, int parent,
                               PagePositionProc position, CreateDialogProc create, int visible,
                               LocalisationService* localisation, int group, int pageCode) {
    std::lock_guard lock(mutex_);
    PageInfo page;
    page.id = static_cast<intptr_t>(Key(NewHandleLocked()));
    page.instance = instance;
    page.flags = flags;
    page.name = name ? name : L"";
    if (tabs && tabCount > 0) {
        page.tabs.assign(tabs, tabs + tabCount);
    } else {
        page.tabs.push_back(PrefsTab{flags, nullptr});
    }
    page.tabNames.resize(page.tabs.size());
    page.parent = parent;
    page.position = position;
    page.create = create;
    page.visible = visible;
    page.localisation = localisation;
    page.group = group;
    page.pageCode = pageCode;
    pages_[page.id] = page;
    return page.id;
}

void WindowSystem::RemovePage(intptr_t pageId) {
    bool open = false;
    {
        std::lock_guard lock(mutex_);
        if (pages_.count(pageId) == 0) {
            return;
        }
        open = openPage_ == pageId;
    }
    if (open) {
        DestroyOpenPageDialog();
    }
    std::lock_guard lock(mutex_);
    if (openPage_ == pageId) {
        openPage_ = 0;
        openTab_ = 0;
    }
    pages_.erase(pageId);
}

void WindowSystem::ReplacePageDialog(intptr_t pageId, DialogProc proc, int dialogId) {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end()) {
        return;
    }
    PageInfo& page = it->second;
    size_t tab = page.Tabbed() && openPage_ == pageId ? static_cast<size_t>(openTab_) : 0;
    page.tabs[tab] = PrefsTab{dialogId, proc};
    if (!page.Tabbed()) {
        page.flags = dialogId;
    }
}

void WindowSystem::RefreshPage(intptr_t pageId) {
    if (!OnMainThread()) {
        return;
    }
    int tab = 0;
    {
        std::lock_guard lock(mutex_);
        // A refresh asked for while the page is being made would make it
        // again and again.
        if (pageId == 0 || openPage_ != pageId || creatingPage_ == pageId ||
            pages_.count(pageId) == 0) {
            return;
        }
        tab = openTab_;
    }
    DestroyOpenPageDialog();
    CreatePageDialog(pageId, tab);
}

void WindowSystem::SetTabName(intptr_t pageId, int index, const wchar_t* name) {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end() || index < 0 || index >= static_cast<int>(it->second.tabNames.size())) {
        return;
    }
    it->second.tabNames[static_cast<size_t>(index)] = name ? name : L"";
}

void WindowSystem::FinaliseTabs(intptr_t pageId, int flags) {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(pageId);
    if (it != pages_.end()) {
        it->second.tabsFinalised = true;
        it->second.finaliseFlags = flags;
    }
}

bool WindowSystem::OpenPage(intptr_t pageId, int tabIndex) {
    if (!OnMainThread()) {
        return false;
    }
    PageInfo page;
    Window preferences = nullptr;
    bool alreadyOpen = false;
    {
        std::lock_guard lock(mutex_);
        auto it = pages_.find(pageId);
        if (it == pages_.end()) {
            return false;
        }
        page = it->second;
        if (!preferences_) {
            preferences_ = NewHandleLocked();
            windows_[Key(preferences_)].kind = WindowKind::Frame;
        }
        preferences = preferences_;
        alreadyOpen = openPage_ == pageId && openDialog_ && FindLocked(openDialog_);
        if (alreadyOpen && (!page.Tabbed() || tabIndex < 0 || tabIndex == openTab_)) {
            return true;
        }
    }
    if (alreadyOpen) {
        return SwitchTab(tabIndex);
    }
    DestroyOpenPageDialog();
    int tab = 0;
    if (page.Tabbed()) {
        if (tabIndex >= 0) {
            tab = tabIndex;
        } else if (page.position) {
            int64_t stored = 0;
            page.position(preferences, -1, 0, reinterpret_cast<intptr_t>(&stored));
            tab = stored >= 0 && stored < static_cast<int64_t>(page.tabs.size())
                      ? static_cast<int>(stored)
                      : 0;
        }
        if (tab >= static_cast<int>(page.tabs.size())) {
            tab = 0;
        }
    }
    return CreatePageDialog(pageId, tab);
}

bool WindowSystem::CreatePageDialog(intptr_t pageId, int tab) {
    PrefsTab record{};
    Instance instance = nullptr;
    CreateDialogProc create = nullptr;
    TemplateFinder finder;
    Window parent = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = pages_.find(pageId);
        if (it == pages_.end() || tab < 0 || tab >= static_cast<int>(it->second.tabs.size()) ||
            !preferences_) {
            return false;
        }
        record = it->second.tabs[static_cast<size_t>(tab)];
        instance = it->second.instance;
        create = it->second.create;
        finder = finder_;
        parent = preferences_;
        openPage_ = pageId;
        openTab_ = tab;
        openDialog_ = nullptr;
        creatingPage_ = pageId;
    }
    Window dialog = nullptr;
    if (create) {
        dialog = create(record.dialogId, parent, record.proc, 0);
    } else if (finder) {
        dialog =
            CreateDialogFromTemplate(finder(instance, record.dialogId), parent, record.proc, 0);
    }
    std::lock_guard lock(mutex_);
    creatingPage_ = 0;
    if (dialog && !FindLocked(dialog)) {
        dialog = nullptr;  // not one of ours, or gone already
    }
    if (openPage_ == pageId && openTab_ == tab) {
        openDialog_ = dialog;
    }
    return dialog != nullptr;
}

void WindowSystem::DestroyOpenPageDialog() {
    Window dialog = nullptr;
    {
        std::lock_guard lock(mutex_);
        dialog = openDialog_;
        openDialog_ = nullptr;
    }
    if (dialog) {
        DestroyDialog(dialog);
    }
}

bool WindowSystem::SwitchTab(int index) {
    if (!OnMainThread()) {
        return false;
    }
    intptr_t pageId = 0;
    PagePositionProc position = nullptr;
    Window preferences = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = pages_.find(openPage_);
        if (it == pages_.end() || !it->second.Tabbed() || index < 0 ||
            index >= static_cast<int>(it->second.tabs.size())) {
            return false;
        }
        if (index == openTab_ && openDialog_) {
            return true;
        }
        pageId = openPage_;
        position = it->second.position;
        preferences = preferences_;
    }
    if (position) {
        position(preferences, -1, 1, index);
    }
    DestroyOpenPageDialog();
    return CreatePageDialog(pageId, index);
}

void WindowSystem::ClosePreferences() {
    if (!OnMainThread()) {
        return;
    }
    DestroyOpenPageDialog();
    Window preferences = nullptr;
    {
        std::lock_guard lock(mutex_);
        preferences = preferences_;
    }
    if (preferences) {
        DestroyDialog(preferences);
    }
    std::lock_guard lock(mutex_);
    preferences_ = nullptr;
    openPage_ = 0;
    openTab_ = 0;
}

std::vector<PageInfo> WindowSystem::Pages() const {
    std::lock_guard lock(mutex_);
    std::vector<PageInfo> pages;
    for (const auto& [id, page] : pages_) {
        pages.push_back(page);
    }
    return pages;
}

std::optional<PageInfo> WindowSystem::Page(intptr_t pageId) const {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end()) {
        return std::nullopt;
    }
    return it->second;
}

Window WindowSystem::PreferencesWindow() const {
    std::lock_guard lock(mutex_);
    return preferences_;
}

intptr_t WindowSystem::OpenPageId() const {
    std::lock_guard lock(mutex_);
    return openPage_;
}

int WindowSystem::OpenTab() const {
    std::lock_guard lock(mutex_);
    return openTab_;
}

Window WindowSystem::OpenPageDialog() const {
    std::lock_guard lock(mutex_);
    return openDialog_;
}

// -- links, styling, folders, About, URLs

bool WindowSystem::SetLinkText(Window page, int controlId, const wchar_t* address) {
    std::lock_guard lock(mutex_);
    ControlState* control = FindControlLocked(page, controlId);
    if (!control) {
        return false;
    }
    control->text = FormatLinkText(control->text, address ? address : L"");
    return true;
}

void* WindowSystem::StyleButton(Window page, int controlId, void* /*previous*/) {
    std::lock_guard lock(mutex_);
    ControlState* control = FindControlLocked(page, controlId);
    if (!control) {
        return nullptr;
    }
    control->styled = true;
    return NewHandleLocked();
}

int WindowSystem::BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    FolderRequest request;
    request.owner = owner;
    request.title = title ? title : L"";
    if (folder && size > 0) {
        request.startFolder.assign(folder, wcsnlen(folder, static_cast<size_t>(size)));
    }
    FolderResponder responder;
    {
        std::lock_guard lock(mutex_);
        lastFolderRequest_ = request;
        responder = folderResponder_;
    }
    if (!responder || !folder || size <= 0) {
        return 0;
    }
    std::optional<std::wstring> chosen = responder(request);
    if (!chosen) {
        return 0;
    }
    CopyBounded(*chosen, folder, size);
    return 1;
}

void WindowSystem::SetFolderResponder(FolderResponder responder) {
    std::lock_guard lock(mutex_);
    folderResponder_ = std::move(responder);
}

std::optional<FolderRequest> WindowSystem::LastFolderRequest() const {
    std::lock_guard lock(mutex_);
    return lastFolderRequest_;
}

void WindowSystem::ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
    AboutRecord record{owner, text ? text : L"", title ? title : L""};
    AboutObserver observer;
    {
        std::lock_guard lock(mutex_);
        lastAbout_ = record;
        observer = aboutObserver_;
    }
    if (observer) {
        observer(record);
    }
}

void WindowSystem::SetAboutObserver(AboutObserver observer) {
    std::lock_guard lock(mutex_);
    aboutObserver_ = std::move(observer);
}

std::optional<AboutRecord> WindowSystem::LastAboutBox() const {
    std::lock_guard lock(mutex_);
    return lastAbout_;
}

int WindowSystem::OpenUrl(Window /*owner*/, const wchar_t* url, int /*flags*/) {
    if (!url || !*url) {
        return 0;
    }
    std::wstring address(url);
    UrlObserver observer;
    {
        std::lock_guard lock(mutex_);
        openedUrls_.push_back(address);
        observer = urlObserver_;
    }
    if (observer) {
        observer(address);
    }
    return 1;
}

void WindowSystem::SetUrlObserver(UrlObserver observer) {
    std::lock_guard lock(mutex_);
    urlObserver_ = std::move(observer);
}

std::vector<std::wstring> WindowSystem::OpenedUrls() const {
    std::lock_guard lock(mutex_);
    return openedUrls_;
}

// -- popup menus

Menu WindowSystem::CreatePopupMenu() {
    std::lock_guard lock(mutex_);
    Menu menu = NewHandleLocked();
    menus_[Key(menu)];
    return menu;
}

bool WindowSystem::AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    std::lock_guard lock(mutex_);
    auto it = menus_.find(Key(menu));
    if (it == menus_.end()) {
        return false;
    }
    MenuItem item;
    item.id = id;
    item.text = text ? text : L"";
    item.separator = text == nullptr;
    item.flags = flags;
    auto& items = it->second;
    if (position < 0 || position >= static_cast<int>(items.size())) {
        items.push_back(std::move(item));
    } else {
        items.insert(items.begin() + position, std::move(item));
    }
    return true;
}

void WindowSystem::MenuPosition(Window* owner, int* x, int* y) const {
    if (owner) {
        *owner = mainWindow_;
    }
    if (x) {
        *x = 0;
    }
    if (y) {
        *y = 0;
    }
}

int WindowSystem::TrackPopupMenu(Menu menu, Window /*owner*/, int /*x*/, int /*y*/) {
    std::vector<MenuItem> items;
    MenuChooser chooser;
    {
        std::lock_guard lock(mutex_);
        auto it = menus_.find(Key(menu));
        if (it == menus_.end()) {
            return 0;
        }
        items = it->second;
        lastMenu_ = items;
        chooser = menuChooser_;
    }
    if (!chooser) {
        return 0;
    }
    int chosen = chooser(items);
    // Separators and greyed or disabled items cannot be chosen.
    bool selectable = std::any_of(items.begin(), items.end(), [&](const MenuItem& item) {
        return item.id == chosen && item.Selectable();
    });
    return chosen != 0 && selectable ? chosen : 0;
}

bool WindowSystem::DestroyMenu(Menu menu) {
    std::lock_guard lock(mutex_);
    return menus_.erase(Key(menu)) != 0;
}

void WindowSystem::SetMenuChooser(MenuChooser chooser) {
    std::lock_guard lock(mutex_);
    menuChooser_ = std::move(chooser);
}

std::optional<std::vector<MenuItem>> WindowSystem::LastMenuShown() const {
    std::lock_guard lock(mutex_);
    return lastMenu_;
}

int WindowSystem::LiveMenus() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(menus_.size());
}

// -- message boxes

int WindowSystem::MessageBox(Window owner, const wchar_t* text, const wchar_t* title,
                             unsigned flags) {
    MessageBoxRecord record{owner, text ? text : L"", title ? title : L"", flags, 0};
    std::lock_guard lock(mutex_);
    if (!boxAnswers_.empty()) {
        record.answer = boxAnswers_.front();
        boxAnswers_.pop_front();
    } else {
        record.answer = DefaultAnswer(flags);
    }
    boxes_.push_back(record);
    return record.answer;
}

void WindowSystem::QueueMessageBoxAnswer(int answer) {
    std::lock_guard lock(mutex_);
    boxAnswers_.push_back(answer);
}

std::vector<MessageBoxRecord> WindowSystem::MessageBoxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

}  // namespace kiln::host
