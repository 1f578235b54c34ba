#include "plugin/worker.h"

#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "platform/events.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/rules.h"
#include "plugin/settings.h"
#include "plugin/subsystems.h"
#include "plugin/timers.h"

namespace kiln {

thread_local wchar_t currentLocation[kLocationChars] = L"";
std::atomic<bool> scrobbleTimerSet{false};

namespace {

// The current play: written on the host's main thread (starts, pauses,
// resumes), read by the worker and the timer routine.
Mutex playLock;
PlayIdentity currentPlay GUARDED_BY(playLock);
// The play the last start replaced, its time played settled then.
PlayIdentity previousPlay GUARDED_BY(playLock);
// The play the last hard stop ended, settled then.
PlayIdentity stoppedPlay GUARDED_BY(playLock);

void SettleLocked(PlayIdentity& play, int64_t now) REQUIRES(playLock) {
    if (!play.paused) {
        play.playedSeconds += now - play.resumedAt;
        play.paused = true;
    }
}
std::atomic<uint64_t> currentPlaySerial{0};

// Hand-over of the worker's thread handle: every operation on a handle
// (start, reap, wait, close) happens on the host's main thread, so no wait or
// reap can meet a handle that another thread has closed. The worker itself
// only publishes its state. When it ends by itself it moves from Running to
// Exiting and looks once more for a signal that raced with its decision; a
// starter that finds Exiting claims the state back with the same
// compare-and-swap and starts a fresh thread, so exactly one of the two
// handles that signal, and none is lost.
enum WorkerState : int { kNone = 0, kRunning = 1, kExiting = 2 };

std::atomic<int> workerState{kNone};
// Each quit starts a new generation. A worker that outlived the wait of a
// quit (busy past its time-out) belongs to an older one and ends as soon as it
// looks, without touching the state of the workers started after it.
std::atomic<unsigned> generation{0};
platform::EventHandle events[kWorkerEventCount] = {};
// Cuts the settling sleep short when quit asks the worker to drain.
platform::EventHandle settleCut = nullptr;
std::atomic<bool> eventsCreated{false};
std::atomic<bool> draining{false};

ThreadHandle workerThread = nullptr;   // main thread only
ThreadHandle retiredWorker = nullptr;  // an ended worker not yet reaped; main thread only

// A start from the hook is a new play for every output. A page that switches
// an output on while a play is under way asks for that output alone: the
// others acted on the play already and must not act on it twice.
std::atomic<bool> newPlayPending{false};
std::atomic<unsigned> catchUpOutputs{0};

bool OutputsNeedWorker() {
    return loggingOn.load() != 0 || scrobblerLogOn.load() != 0 ||
           (nowLoggingOn.load() & kNowText) != 0 || updateDiscord.load() != 0 ||
           postModes.load() != 0 || (scrobbleFlags.load() & kScrobbleOn) != 0;
}

const Subsystems& Steps() {
    return FrameSubsystems();
}

// Events that could not be created are tried again at the next need.
bool CreateEvents() {
    if (eventsCreated.load()) {
        return true;
    }
    if (!settleCut) {
        settleCut = platform::CreateAutoResetEvent();
    }
    bool all = settleCut != nullptr;
    for (auto& event : events) {
        if (!event) {
            event = platform::CreateAutoResetEvent();
        }
        all = all && event;
    }
    eventsCreated.store(all);
    return all;
}

void ReapRetired(const HostServices* host) {
    if (retiredWorker) {
        host->reapThread(&retiredWorker);
    }
}

void Retire(const HostServices* host, ThreadHandle handle) {
    if (!handle) {
        return;
    }
    if (retiredWorker) {
        // The older one is past its last event and only returning.
        host->waitThread(retiredWorker, 10000, 1);
        host->closeThread(retiredWorker);
    }
    retiredWorker = handle;
}

void OnPlayStarted() {
    CancelTimer(kPresenceTimerId);
    // The cover is fetched and uploaded meanwhile, so that the first presence
    // can carry it; not for an item the rules keep from Discord by what is
    // known of it yet.
    if ((JudgeCurrentPlay().outputs & kToDiscord) != 0) {
        Steps().prefetchPresenceCover();
    }
    // The host needs a moment to read the new item's tags; a quit that is
    // draining the queue does not wait for it.
    if (!draining.load()) {
        platform::WaitForAnyEvent(&settleCut, 1, 750, true);
    }
    // Outputs switched on during the settle are served by this start.
    catchUpOutputs.store(0);
    // Judged once the tags are read; every step of this play keeps to it.
    const PlayVerdict verdict = JudgeCurrentPlay();
    const int reach = verdict.outputs;
    if (scrobblerLogOn.load() != 0) {
        Steps().scrobblerLogPlayStarted();
    }
    if (loggingOn.load() != 0 && (reach & kToHistory) != 0) {
        Steps().appendHistoryLine();
    }
    if (nowLoggingOn.load() != 0 && (reach & kToNowPlaying) != 0) {
        Steps().writeNowPlayingFiles();
    }
    Steps().refreshPresence();
    if ((postModes.load() & kPostOnPlay) != 0 && !SettingText(postPlay).empty() &&
        (reach & kToPost) != 0) {
        Steps().startPostRequest(0);
    }
    if ((scrobbleFlags.load() & kScrobbleOn) != 0) {
        if ((reach & kToLastfm) != 0) {
            Steps().scrobbleOnPlayStarted();
        } else {
            Steps().scrobbleExcluded(VerdictReason(verdict, kToLastfm));
        }
    }
}

void OnOutputsCaughtUp(unsigned outputs) {
    if ((outputs & kCatchUpHistory) != 0 && loggingOn.load() != 0 &&
        CurrentPlayReaches(kToHistory)) {
        Steps().appendHistoryLine();
    }
    if ((outputs & kCatchUpNowPlaying) != 0 && nowLoggingOn.load() != 0 &&
        CurrentPlayReaches(kToNowPlaying)) {
        Steps().writeNowPlayingFiles();
    }
}

void OnPaused() {
    Steps().refreshPresence();
    if ((postModes.load() & kPostOnPause) != 0 && CurrentPlayReaches(kToPost)) {
        Steps().startPostRequest(1);
    }
    // The scrobble timer was stopped when the hook saw the pause.
}

void OnUnpaused() {
    Steps().refreshPresence();
    if ((postModes.load() & kPostOnUnpause) != 0 && CurrentPlayReaches(kToPost)) {
        Steps().startPostRequest(2);
    }
    if ((scrobbleFlags.load() & kScrobbleOn) != 0 && CurrentPlayReaches(kToLastfm)) {
        Steps().scrobbleOnUnpaused();
    }
}

void OnStopped() {
    if (scrobblerLogOn.load() != 0) {
        Steps().scrobblerLogPlayStopped();
    }
    Steps().refreshPresence();
    if ((postModes.load() & kPostOnStop) != 0 && CurrentPlayReaches(kToPost)) {
        Steps().startPostRequest(3);
    }
}

void Dispatch(int index) {
    if (privateMode.load() != 0) {
        // Tracking is paused: nothing is written, sent or scrobbled; the
        // presence, asked again, clears itself. A start is still judged, so
        // that a resume during the play finds its own verdict.
        if (index == static_cast<int>(WorkerEvent::PlayStarted)) {
            if (newPlayPending.exchange(false)) {
                JudgeCurrentPlay();
            }
            catchUpOutputs.store(0);
        }
        if (index != static_cast<int>(WorkerEvent::ScrobbleDue)) {
            Steps().refreshPresence();
        }
        return;
    }
    switch (static_cast<WorkerEvent>(index)) {
        case WorkerEvent::PlayStarted:
            if (newPlayPending.exchange(false)) {
                OnPlayStarted();
            } else {
                OnOutputsCaughtUp(catchUpOutputs.exchange(0));
            }
            break;
        case WorkerEvent::Paused:
            OnPaused();
            break;
        case WorkerEvent::Unpaused:
            OnUnpaused();
            break;
        case WorkerEvent::Stopped:
            OnStopped();
            break;
        case WorkerEvent::PresenceRefresh:
            Steps().refreshPresence();
            break;
        case WorkerEvent::ScrobbleDue:
            if ((scrobbleFlags.load() & kScrobbleOn) != 0) {
                Steps().submitToScrobbler(true);
            }
            break;
        case WorkerEvent::Quit:
            break;
    }
}

bool IsWorkEvent(int index) {
    return index >= 0 && index < static_cast<int>(WorkerEvent::Quit);
}

// When each work event was last signalled, by one running count. The wait
// hands out the lowest index first, but a stop signalled before the next
// start must still go out before it: every output (the stop POST, the
// portable log's entry, the presence) would otherwise end the wrong play.
std::atomic<uint64_t> signalCount{0};
std::atomic<uint64_t> signalledAt[kWorkerEventCount] = {};

// Handles `index`, whose signal the wait consumed, after any other event
// still signalled that was signalled before it.
void DispatchInSignalOrder(int index) {
    for (;;) {
        int earliest = index;
        for (int other = 0; other < static_cast<int>(WorkerEvent::Quit); ++other) {
            if (other != index && signalledAt[other].load() < signalledAt[earliest].load() &&
                platform::WaitForAnyEvent(&events[other], 1, 0, false) == 0) {
                if (earliest != index) {
                    platform::SignalEvent(events[earliest]);  // put back; a still earlier one won
                }
                earliest = other;
            }
        }
        Dispatch(earliest);
        if (earliest == index) {
            return;
        }
    }
}

// A quit ends the worker between events; plays already due but not yet
// submitted go to the scrobble cache rather than being lost.
unsigned EndForQuit() {
    if ((scrobbleFlags.load() & kScrobbleOn) != 0) {
        Steps().cacheDuePlays();
    }
    return 0;
}

unsigned WorkerMain(void* argument) {
    const auto mine = static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
    auto stale = [mine] { return generation.load() != mine; };
    if (stale() || workerState.load() != kRunning) {
        return 0;
    }
    for (;;) {
        int index = platform::WaitForAnyEvent(events, kWorkerEventCount, 10000, true);
        if (stale()) {
            return EndForQuit();
        }
        if (IsWorkEvent(index)) {
            DispatchInSignalOrder(index);
            if (stale()) {
                return EndForQuit();
            }
            continue;
        }
        if (index == static_cast<int>(WorkerEvent::Quit)) {
            // The wait hands out the lowest signalled index first, so every
            // event queued before the quit has been handled by now.
            workerState.store(kExiting);
            return EndForQuit();
        }
        // Ten idle seconds, a wake-up for a completion routine or a failed
        // wait end the worker.
        workerState.store(kExiting);
        int late = platform::WaitForAnyEvent(events, kWorkerEventCount, 0, false);
        if (!IsWorkEvent(late)) {
            return 0;
        }
        int expected = kExiting;
        if (!workerState.compare_exchange_strong(expected, kRunning)) {
            // A new worker was started meanwhile; it takes the signal.
            platform::SignalEvent(events[late]);
            return 0;
        }
        DispatchInSignalOrder(late);
        if (stale()) {
            return EndForQuit();
        }
    }
}

bool StartWorkerThread(const HostServices* host) {
    Retire(host, workerThread);
    workerThread = nullptr;
    workerState.store(kRunning);
    // The state is Running before the thread runs its first statement.
    workerThread = host->startThread(
        &WorkerMain, reinterpret_cast<void*>(static_cast<uintptr_t>(generation.load())), 2);
    if (!workerThread) {
        workerState.store(kNone);
        return false;
    }
    return true;
}

}  // namespace

bool WorkerRunning() {
    return workerState.load() == kRunning;
}

bool EnsureWorker() {
    LoadSettings();
    const HostServices* host = Host();
    if (!host) {
        return false;
    }
    if (!OutputsNeedWorker()) {
        return workerState.load() == kRunning;
    }
    if (!CreateEvents()) {
        return false;
    }
    if (draining.load()) {
        return false;  // quit is under way: nothing new starts
    }
    ReapRetired(host);
    int state = workerState.load();
    if (state == kRunning) {
        return true;
    }
    if (state == kExiting) {
        if (!workerState.compare_exchange_strong(state, kNone)) {
            return true;  // the ending worker took a late signal and runs on
        }
    }
    return StartWorkerThread(host);
}

bool SignalWorker(WorkerEvent event) {
    if (!EnsureWorker()) {
        return false;
    }
    signalledAt[static_cast<int>(event)].store(signalCount.fetch_add(1) + 1);
    platform::SignalEvent(events[static_cast<int>(event)]);
    // The worker may have decided to end between the check and the signal;
    // looking again after signalling closes that gap.
    if (workerState.load() == kExiting) {
        EnsureWorker();
    }
    return true;
}

void SignalPlayStart() {
    if (!EnsureWorker()) {
        return;
    }
    if (const HostServices* host = Host()) {
        wchar_t file[kLocationChars] = L"";
        host->currentFile(file, kLocationChars);
        const int64_t now = host->nowSeconds();
        MutexLock lock(playLock);
        previousPlay = currentPlay;
        SettleLocked(previousPlay, now);
        currentPlay = PlayIdentity{currentPlay.serial + 1, now, file, 0, now, false};
        currentPlaySerial.store(currentPlay.serial);
    }
    StopScrobbleTimer();
    newPlayPending.store(true);
    SignalWorker(WorkerEvent::PlayStarted);
}

void SignalOutputsCatchUp(unsigned outputs) {
    catchUpOutputs.fetch_or(outputs);
    SignalWorker(WorkerEvent::PlayStarted);
}

PlayIdentity CurrentPlay() {
    MutexLock lock(playLock);
    return currentPlay;
}

PlayIdentity PreviousPlay() {
    MutexLock lock(playLock);
    return previousPlay;
}

int64_t PlayedSeconds(const PlayIdentity& play, int64_t now) {
    return play.playedSeconds + (play.paused ? 0 : now - play.resumedAt);
}

void NotePlayStopped() {
    if (const HostServices* host = Host()) {
        const int64_t now = host->nowSeconds();
        MutexLock lock(playLock);
        SettleLocked(currentPlay, now);
        stoppedPlay = currentPlay;
    }
}

PlayIdentity StoppedPlay() {
    MutexLock lock(playLock);
    return stoppedPlay;
}

uint64_t CurrentPlaySerial() {
    return currentPlaySerial.load();
}

void NotePlayPaused() {
    if (const HostServices* host = Host()) {
        const int64_t now = host->nowSeconds();
        MutexLock lock(playLock);
        SettleLocked(currentPlay, now);
    }
    StopScrobbleTimer();
}

void NotePlayResumed() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const int64_t now = host->nowSeconds();
    MutexLock lock(playLock);
    if (currentPlay.paused) {
        currentPlay.resumedAt = now;
        currentPlay.paused = false;
    }
}

void StopScrobbleTimer() {
    if (scrobbleTimerSet.exchange(false)) {
        CancelTimer(kScrobbleTimerId);
    }
}

bool DrainWorkerForQuit(int timeoutMs) {
    const HostServices* host = Host();
    if (!host || !eventsCreated.load()) {
        return true;
    }
    draining.store(true);
    platform::SignalEvent(settleCut);
    platform::SignalEvent(events[static_cast<int>(WorkerEvent::Quit)]);
    ReapRetired(host);
    if (!workerThread || workerState.load() == kNone) {
        return retiredWorker == nullptr;
    }
    return host->waitThread(workerThread, timeoutMs, 1) == 0;
}

void StopWorkerForQuit() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    generation.fetch_add(1);
    if (eventsCreated.load()) {
        platform::SignalEvent(events[static_cast<int>(WorkerEvent::Quit)]);
    }
    for (ThreadHandle* handle : {&workerThread, &retiredWorker}) {
        if (*handle) {
            // A worker still busy after the wait ends by itself when it looks.
            host->waitThread(*handle, 10000, 1);
            host->closeThread(*handle);
            *handle = nullptr;
        }
    }
    if (eventsCreated.load()) {
        // A quit signal nobody took would end the next worker at once, and
        // a cut nobody took would cut its first settle short.
        platform::WaitForAnyEvent(&events[static_cast<int>(WorkerEvent::Quit)], 1, 0, false);
        platform::WaitForAnyEvent(&settleCut, 1, 0, false);
    }
    workerState.store(kNone);
    draining.store(false);
}

}  // namespace kiln
