#include "host/window_system.h"

#include "host/window_internal.h"

namespace kiln::host {

using window_detail::Key;

WindowSystem::WindowSystem()
    : mainThread_(std::this_thread::get_id()), boxes_([this] {
          MutexLock lock(mutex_);
          return NewHandleLocked();
      }) {
    MutexLock lock(mutex_);
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

}  // namespace kiln::host
