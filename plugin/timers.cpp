#include "plugin/timers.h"

#include <atomic>

#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "platform/process.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/shared_state.h"

namespace kiln {
namespace {

struct TimerRequest {
    bool pending = false;
    bool set = false;  // false: kill
    unsigned milliseconds = 0;
    TimerProc proc = nullptr;
    uint64_t playSerial = 0;
};

std::atomic<uint64_t> mainThread{0};
Mutex requestLock;
// One slot per timer: a newer request replaces an older one not yet run.
TimerRequest requests[2] GUARDED_BY(requestLock);

int Slot(uintptr_t id) {
    return id == kScrobbleTimerId ? 0 : 1;
}

bool OnMainThread() {
    return platform::CurrentThreadId() == mainThread.load();
}

void Apply(uintptr_t id, const TimerRequest& request) {
    if (request.set) {
        if (request.playSerial == 0 || request.playSerial == CurrentPlaySerial()) {
            platform::SetWindowTimer(HostWindow(), id, request.milliseconds, request.proc);
        }
    } else {
        platform::KillWindowTimer(HostWindow(), id);
    }
}

void Request(uintptr_t id, const TimerRequest& request) {
    if (OnMainThread()) {
        {
            MutexLock lock(requestLock);
            requests[Slot(id)] = TimerRequest{};
        }
        Apply(id, request);
        return;
    }
    bool post = false;
    {
        MutexLock lock(requestLock);
        post = !requests[Slot(id)].pending;
        requests[Slot(id)] = request;
        requests[Slot(id)].pending = true;
    }
    if (post) {
        PostFrameMessage(id);
    }
}

}  // namespace

void ScheduleTimer(uintptr_t id, unsigned milliseconds, TimerProc proc, uint64_t playSerial) {
    Request(id, TimerRequest{false, true, milliseconds, proc, playSerial});
}

void CancelTimer(uintptr_t id) {
    Request(id, TimerRequest{false, false, 0, nullptr, 0});
}

void NoteMainThread() {
    mainThread.store(platform::CurrentThreadId());
}

void RunTimerRequest(uintptr_t id) {
    if (id != kScrobbleTimerId && id != kPresenceTimerId) {
        return;
    }
    TimerRequest request;
    {
        MutexLock lock(requestLock);
        request = requests[Slot(id)];
        requests[Slot(id)] = TimerRequest{};
    }
    if (request.pending) {
        Apply(id, request);
    }
}

void CancelAllTimers() {
    {
        MutexLock lock(requestLock);
        requests[0] = TimerRequest{};
        requests[1] = TimerRequest{};
    }
    platform::KillWindowTimer(HostWindow(), kScrobbleTimerId);
    platform::KillWindowTimer(HostWindow(), kPresenceTimerId);
}

}  // namespace kiln
