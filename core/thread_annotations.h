// Clang thread-safety annotations and a mutex the analysis understands.
//
// Build with clang and -Wthread-safety (preset "tsa") to have the compiler check
// that every access to a GUARDED_BY member happens under its lock. On other
// compilers the macros expand to nothing and Mutex behaves as std::mutex.
//
// This header is a leaf: it includes only the standard library.
#pragma once

#include <mutex>

#if defined(__clang__)
#define KILN_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KILN_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) KILN_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KILN_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KILN_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) KILN_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KILN_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KILN_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KILN_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KILN_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KILN_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KILN_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KILN_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KILN_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KILN_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KILN_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KILN_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) KILN_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KILN_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace kiln {

// std::mutex with the capability attribute. Usable wherever std::mutex is
// (std::lock_guard, std::unique_lock, std::scoped_lock); prefer MutexLock, which
// the analysis follows.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // Tells the analysis the caller holds the lock where it cannot see that.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

    // The underlying mutex, for std::condition_variable (see MutexLock::native).
    std::mutex& native() RETURN_CAPABILITY(this) { return mutex_; }

  private:
    std::mutex mutex_;
};

// Holds a Mutex for a scope. native() serves std::condition_variable::wait; a
// predicate reading guarded members declares it: [&]() REQUIRES(mutex) { ... }.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Early release and re-acquire inside the scope.
    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    std::unique_lock<std::mutex>& native() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace kiln
