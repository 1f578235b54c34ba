#include "host/window_system.h"

#include <algorithm>
#include <limits>

#include "host/window_internal.h"

namespace kiln::host {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t TickCount() {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

}  // namespace

using window_detail::Key;

// -- the main window, messages and timers

void WindowSystem::SetMainWindowHandler(MainWindowHandler handler) {
    MutexLock lock(mutex_);
    mainHandler_ = std::move(handler);
}

void WindowSystem::SetMessageHook(MessageHookProc hook) {
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
        MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
    return timers_.erase({Key(window), id}) != 0;
}

bool WindowSystem::HasTimer(Window window, uintptr_t id) const {
    MutexLock lock(mutex_);
    return timers_.count({Key(window), id}) != 0;
}

bool WindowSystem::IsWindow(Window window) const {
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
        MutexLock lock(mutex_);
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
        MutexLock lock(mutex_);
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
            MutexLock lock(mutex_);
            seen = changes_;
        }
        if (done && done()) {
            return true;
        }
        if (DispatchOne(Clock::now(), kAnySeq)) {
            continue;
        }
        MutexLock lock(mutex_);
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
        auto changed = [&]() REQUIRES(mutex_) { return changes_ != seen; };
        if (wake == Clock::time_point::max()) {
            wakeup_.wait(lock.native(), changed);
        } else {
            wakeup_.wait_until(lock.native(), wake, changed);
        }
    }
    return done && done();
}

void WindowSystem::RunFor(std::chrono::milliseconds duration) {
    RunUntil(nullptr, duration);
}

void WindowSystem::Quit() {
    MutexLock lock(mutex_);
    quitRequested_ = true;
    quitSeq_ = lastSeq_;
    ++changes_;
    wakeup_.notify_all();
}

bool WindowSystem::RunUntilQuit(std::chrono::milliseconds timeout) {
    return RunUntil(
        [this] {
            MutexLock lock(mutex_);
            if (!quitRequested_ || (!queue_.empty() && queue_.front().seq <= quitSeq_)) {
                return false;
            }
            quitRequested_ = false;
            return true;
        },
        timeout);
}

void WindowSystem::Wake() {
    MutexLock lock(mutex_);
    ++changes_;
    wakeup_.notify_all();
}

}  // namespace kiln::host
