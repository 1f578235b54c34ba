#include "host/host_threads.h"

#include <thread>

namespace kiln::host {

HostThreads::HostThreads() : shared_(std::make_shared<Shared>()) {}

HostThreads::~HostThreads() = default;

ThreadHandle HostThreads::Start(ThreadRoutine routine, void* argument) {
    if (!routine) {
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    uintptr_t key = 0;
    {
        MutexLock lock(shared_->mutex);
        key = nextHandle_;
        nextHandle_ += 4;
        handles_.emplace(key, state);
        ++shared_->live;
    }
    try {
        std::thread([shared = shared_, state, routine, argument] {
            unsigned code = routine(argument);
            MutexLock lock(shared->mutex);
            state->ended = true;
            state->exitCode = code;
            --shared->live;
            shared->changed.notify_all();
        }).detach();
    } catch (...) {  // no thread to be had: the host reports it, never throws
        MutexLock lock(shared_->mutex);
        handles_.erase(key);
        --shared_->live;
        return nullptr;
    }
    return reinterpret_cast<ThreadHandle>(key);
}

std::shared_ptr<HostThreads::ThreadState> HostThreads::Find(ThreadHandle handle) const {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) {
        ++badHandleUses_;
        return nullptr;
    }
    return it->second;
}

bool HostThreads::HasEnded(ThreadHandle handle) const {
    MutexLock lock(shared_->mutex);
    auto state = Find(handle);
    return state && state->ended;
}

int HostThreads::Wait(ThreadHandle handle, int timeoutMs) const {
    MutexLock lock(shared_->mutex);
    auto state = Find(handle);
    if (!state) {
        return kBadHandle;
    }
    auto ended = [&] { return state->ended; };
    if (timeoutMs < 0) {
        shared_->changed.wait(lock.native(), ended);
        return kEnded;
    }
    bool done =
        shared_->changed.wait_for(lock.native(), std::chrono::milliseconds(timeoutMs), ended);
    return done ? kEnded : kTimedOut;
}

bool HostThreads::ExitCode(ThreadHandle handle, unsigned* code) const {
    MutexLock lock(shared_->mutex);
    auto state = Find(handle);
    if (!state || !state->ended) {
        return false;
    }
    if (code) {
        *code = state->exitCode;
    }
    return true;
}

bool HostThreads::Close(ThreadHandle handle) {
    MutexLock lock(shared_->mutex);
    // The running thread holds its own reference to the state, so dropping
    // the handle's one detaches it.
    if (handles_.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
        ++badHandleUses_;
        return false;
    }
    return true;
}

int HostThreads::Reap(ThreadHandle* handle) {
    if (!handle || !*handle) {
        return 0;
    }
    MutexLock lock(shared_->mutex);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(*handle));
    if (it == handles_.end()) {
        ++badHandleUses_;
        return 0;
    }
    if (!it->second->ended) {
        return 0;
    }
    handles_.erase(it);
    *handle = nullptr;
    return 1;
}

int HostThreads::LiveThreads() const {
    MutexLock lock(shared_->mutex);
    return shared_->live;
}

bool HostThreads::WaitAllEnded(std::chrono::milliseconds timeout) const {
    MutexLock lock(shared_->mutex);
    return shared_->changed.wait_for(lock.native(), timeout,
                                     [&]() REQUIRES(shared_->mutex) { return shared_->live == 0; });
}

int HostThreads::OpenHandles() const {
    MutexLock lock(shared_->mutex);
    return static_cast<int>(handles_.size());
}

int HostThreads::BadHandleUses() const {
    MutexLock lock(shared_->mutex);
    return badHandleUses_;
}

}  // namespace kiln::host
