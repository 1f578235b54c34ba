#include <atomic>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "platform/window.h"
#include "plugin/playback_flags.h"
#include "plugin/plugin.h"
#include "plugin/timers.h"
#include "plugin/worker.h"

namespace kiln {

std::atomic<bool> playbackStarted{false};
std::atomic<bool> paused{false};
std::atomic<bool> hardStopped{true};

namespace {

using contract::kNewItem;
using contract::kNewItemAlternative;
using contract::kStatusChanged;
using contract::kStatusPaused;
using contract::kStatusPlaying;
using contract::kStatusStopped;
constexpr intptr_t kStatusNotice = contract::kPlaybackNotice;
constexpr uintptr_t kPresenceInfoChanged = contract::kInfoChanged;

void OnStatusChanged(const HostServices* host) {
    // The status is asked afresh for each test, as the host may change it
    // between the questions.
    if (host->playbackStatus() == kStatusPlaying && host->playbackPositionMs() > 0) {
        if (paused.exchange(false)) {
            NotePlayResumed();
            if (EnsureWorker()) {
                SignalWorker(WorkerEvent::Unpaused);
            }
        }
        return;
    }
    if (host->playbackStatus() == kStatusPaused) {
        paused.store(true);
        NotePlayPaused();
        if (EnsureWorker()) {
            SignalWorker(WorkerEvent::Paused);
        }
        return;
    }
    if (host->playbackStatus() == kStatusStopped && playbackStarted.load()) {
        hardStopped.store(true);
        paused.store(false);
        playbackStarted.store(false);
        NotePlayStopped();
        if (EnsureWorker()) {
            StopScrobbleTimer();
            SignalWorker(WorkerEvent::Stopped);
        }
    }
}

}  // namespace

std::atomic<bool> hookOpen{false};

void OnNewItem() {
    paused.store(false);
    hardStopped.store(false);
    playbackStarted.store(true);
    SignalPlayStart();
}

extern unsigned frameMessage;
extern bool startupPending;

void HostMessageHook(Window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    const HostServices* host = Host();
    if (message != platform::kMsgUser || !host) {
        return;
    }
    const bool playbackNotice =
        lParam == kNewItem || lParam == kNewItemAlternative || lParam == kStatusNotice;
    if (playbackNotice && !hookOpen.load()) {
        return;  // quit is under way: a notice now starts nothing
    }
    if (lParam == kNewItem ||
        (lParam == kNewItemAlternative && wParam != static_cast<uintptr_t>(-1))) {
        OnNewItem();
    } else if (lParam == kStatusNotice && wParam == kStatusChanged) {
        OnStatusChanged(host);
    } else if (lParam == kStatusNotice && wParam == kPresenceInfoChanged) {
        if (EnsureWorker()) {
            SignalWorker(WorkerEvent::PresenceRefresh);
        }
    } else if (frameMessage != static_cast<unsigned>(-1) &&
               lParam == static_cast<intptr_t>(frameMessage)) {
        if (wParam != 0) {
            RunTimerRequest(wParam);
        } else if (startupPending) {
            // Once per init, whatever else carries the same code.
            startupPending = false;
            OnDeferredStartup();
        }
    }
}

}  // namespace kiln
