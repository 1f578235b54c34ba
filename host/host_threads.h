// Thread handles with the semantics the plug-in expects of a Windows host,
// made over std::thread.
//
// A handle stands for a thread until it is closed, whether or not the thread
// has ended: waiting on an ended thread's handle returns at once, and a thread
// whose handle was closed while it ran keeps running (its record goes when it
// ends). Handles are never reused, so a handle used after it was closed is
// recognised and refused (and counted) instead of reaching a freed record.
// Every operation is thread-safe; a thread may close its own handle.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>

#include "core/host_services.h"
#include "core/thread_annotations.h"

namespace kiln::host {

class HostThreads {
  public:
    // Wait results, as the host's wait service reports them.
    static constexpr int kEnded = 0;
    static constexpr int kTimedOut = 1;
    static constexpr int kBadHandle = -1;

    HostThreads();
    // Does not wait: threads still running keep what they need to finish.
    ~HostThreads();
    HostThreads(const HostThreads&) = delete;
    HostThreads& operator=(const HostThreads&) = delete;

    // Runs routine(argument) on a new thread. The handle is valid before the
    // thread runs, so the routine may use (and close) it. Null when no thread
    // could be started.
    ThreadHandle Start(ThreadRoutine routine, void* argument);

    // False for a thread still running and for a handle that is not open.
    bool HasEnded(ThreadHandle handle) const;
    // kEnded, kTimedOut or kBadHandle. A negative timeout waits without limit
    // (the INFINITE of Win32 arrives as -1).
    int Wait(ThreadHandle handle, int timeoutMs) const;
    // The routine's result, once the thread has ended.
    bool ExitCode(ThreadHandle handle, unsigned* code) const;
    // False for a handle that is not open (closed before, or never given out).
    bool Close(ThreadHandle handle);
    // Closes *handle and clears it when its thread has ended: 1; else 0.
    int Reap(ThreadHandle* handle);

    // Threads of this object whose routine has not returned yet.
    int LiveThreads() const;
    // True when no thread is left running within the time.
    bool WaitAllEnded(std::chrono::milliseconds timeout) const;
    // Handles open now; with LiveThreads a test can tell a leaked handle from
    // a thread still running.
    int OpenHandles() const;
    // Uses of handles that were not open: a double close shows up here.
    int BadHandleUses() const;

  private:
    // Read and written under Shared::mutex only; an annotation cannot name
    // that lock from here.
    struct ThreadState {
        bool ended = false;
        unsigned exitCode = 0;
    };
    // Shared with the running threads, so that a thread outliving this object
    // still finds its bookkeeping.
    struct Shared {
        mutable Mutex mutex;
        mutable std::condition_variable changed;
        int live GUARDED_BY(mutex) = 0;
    };

    std::shared_ptr<ThreadState> Find(ThreadHandle handle) const REQUIRES(shared_->mutex);

    const std::shared_ptr<Shared> shared_;
    std::map<uintptr_t, std::shared_ptr<ThreadState>> handles_ GUARDED_BY(shared_->mutex);
    uintptr_t nextHandle_ GUARDED_BY(shared_->mutex) = 0x7000;
    mutable int badHandleUses_ GUARDED_BY(shared_->mutex) = 0;
};

}  // namespace kiln::host
