#include "platform/events.h"

#include "core/thread_annotations.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kiln::platform {
namespace {

// One lock and condition for every event: a wait for any of several events
// then needs no per-event registration, and the plug-in has only a handful.
Mutex eventLock;
std::condition_variable eventChanged;

struct Event {
    bool signalled GUARDED_BY(eventLock) = false;
};

// Events are never closed, so they live in the library's own storage: a
// library that is unloaded takes them along instead of leaking them.
constexpr int kMaxEvents = 32;
Event eventPool[kMaxEvents];
std::atomic<int> eventsUsed{0};

}  // namespace

EventHandle CreateAutoResetEvent() {
    int index = eventsUsed.fetch_add(1);
    return index < kMaxEvents ? &eventPool[index] : nullptr;
}

void SignalEvent(EventHandle event) {
    if (!event) {
        return;
    }
    {
        MutexLock guard(eventLock);
        static_cast<Event*>(event)->signalled = true;
    }
    eventChanged.notify_all();
}

int WaitForAnyEvent(const EventHandle* events, int count, int timeoutMs, bool /*alertable*/) {
    if (!events || count <= 0) {
        return kWaitFailed;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    MutexLock guard(eventLock);
    for (;;) {
        for (int i = 0; i < count; ++i) {
            auto* e = static_cast<Event*>(events[i]);
            if (e && e->signalled) {
                e->signalled = false;
                return i;
            }
        }
        if (timeoutMs >= 0 &&
            eventChanged.wait_until(guard.native(), deadline) == std::cv_status::timeout) {
            // One more look: a signal may have come with the time-out.
            for (int i = 0; i < count; ++i) {
                auto* e = static_cast<Event*>(events[i]);
                if (e && e->signalled) {
                    e->signalled = false;
                    return i;
                }
            }
            return kWaitTimeout;
        }
        if (timeoutMs < 0) {
            eventChanged.wait(guard.native());
        }
    }
}

int SleepAlertable(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return 0;
}

}  // namespace kiln::platform
