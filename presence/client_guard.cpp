// The one means that keeps a shutdown of the presence client from overlapping
// any other client call: the mutex `clientLock`, held around every client call
// this subsystem makes (InitializePresence, UpdatePresence together with
// RunPresenceCallbacks, ShutdownPresence) and around nothing else.
//
// Sends run on the event worker and on whatever thread the host's artwork
// service calls the cover-art step back on; shutdowns run on the host's main
// thread (auto-disable timer, presence page, quit). The lock is never held
// across a host call: in particular not across the artwork request, whose
// callback may run on the worker itself inside the request and then takes the
// lock on its own, and not across the upload, so a shutdown waits at most for
// one UpdatePresence. The client never calls back into us while the lock is
// held except for the error handler, which only records, and ShutdownPresence joins only
// the client's IO thread, which never takes this lock.
//
// The same lock orders sends against shutdowns. Every composition gets a
// number; `sendFloor` is the number of the newest composition that has been
// sent or that began before the latest shutdown. A composition at or below
// the floor neither starts the client nor sends: so a send that was on its way
// when the page restarted the client (with perhaps a new identity) or the
// auto-disable timer fired cannot bring the client back with stale content,
// and a late cover-art send cannot replace a newer presence.
//
// Quit also closes the guard: quit shuts the client down before it stops the
// worker, which may still be inside an event and must not start the client
// (and its IO thread) again behind quit's back.
#include "presence/client_guard.h"

#include <algorithm>
#include <atomic>

#include "core/thread_annotations.h"

namespace kiln {
namespace {

Mutex clientLock;
uint64_t sendFloor GUARDED_BY(clientLock) = 0;
bool closedForQuit GUARDED_BY(clientLock) = false;
// The newest composition begun before the latest shutdown.
uint64_t shutdownFloor GUARDED_BY(clientLock) = 0;
// A presence has been handed to the client since its last shutdown.
bool shown GUARDED_BY(clientLock) = false;
// Copies of the two for PresenceCompositionOvertaken, which must not wait
// while a shutdown joins the client's thread.
std::atomic<uint64_t> sendFloorSeen{0};
std::atomic<bool> closedForQuitSeen{false};

// Written by the worker, read under clientLock by the shutdowns.
std::atomic<uint64_t> latestComposition{0};

// Discord answers a message it refuses with an error reply; kept here so that
// it can be seen rather than lost with an empty handler set. The handler runs
// inside RunPresenceCallbacks, under clientLock.
Mutex errorLock ACQUIRED_AFTER(clientLock);
PresenceErrorReport lastError GUARDED_BY(errorLock);

const PresenceHandlers plugInHandlers{
    nullptr,
    nullptr,
    [](int32_t code, const char* message) {
        MutexLock lock(errorLock);
        lastError.code = code;
        lastError.message = message ? message : "";
        ++lastError.count;
    },
};

bool MaySend(uint64_t sequence) REQUIRES(clientLock) {
    return !closedForQuit && sequence > sendFloor;
}

void RaiseFloor(uint64_t to) REQUIRES(clientLock) {
    sendFloor = std::max(sendFloor, to);
    sendFloorSeen.store(sendFloor);
}

}  // namespace

bool PresenceCompositionOvertaken(uint64_t sequence) {
    return closedForQuitSeen.load() || sequence <= sendFloorSeen.load() ||
           sequence < latestComposition.load();
}

PresenceErrorReport LastPresenceError() {
    MutexLock lock(errorLock);
    return lastError;
}

uint64_t BeginPresenceComposition() {
    return latestComposition.fetch_add(1) + 1;
}

uint64_t LatestPresenceComposition() {
    return latestComposition.load();
}

void StartPresenceClient(const char* applicationId, uint64_t sequence) {
    MutexLock lock(clientLock);
    if (MaySend(sequence)) {
        InitializePresence(applicationId, &plugInHandlers);
    }
}

namespace {

void SendLocked(const RichPresence& record, const PresenceVersion& version) REQUIRES(clientLock) {
    RaiseFloor(version.sequence);
    presenceActivityMode.store(version.activityMode);
    presenceIsVideo.store(version.isVideo);
    UpdatePresence(record);
    RunPresenceCallbacks();
    shown = true;
}

}  // namespace

void SendPresenceRecord(const RichPresence& record, const PresenceVersion& version) {
    MutexLock lock(clientLock);
    if (MaySend(version.sequence)) {
        SendLocked(record, version);
    }
}

void SendPresenceFollowUp(const RichPresence& record, const PresenceVersion& version) {
    MutexLock lock(clientLock);
    if (closedForQuit || version.sequence <= shutdownFloor ||
        version.sequence != latestComposition.load() || version.sequence < sendFloor) {
        return;
    }
    SendLocked(record, version);
}

void ClearPresenceRecord(uint64_t sequence) {
    MutexLock lock(clientLock);
    if (!MaySend(sequence) || !shown) {
        return;
    }
    RaiseFloor(sequence);
    ClearPresence();
    RunPresenceCallbacks();
    shown = false;
}

void ShutdownPresenceClient() {
    MutexLock lock(clientLock);
    RaiseFloor(latestComposition.load());
    shutdownFloor = latestComposition.load();
    ShutdownPresence();
    shown = false;
}

void ShutdownPresenceClientForQuit() {
    MutexLock lock(clientLock);
    closedForQuit = true;
    closedForQuitSeen.store(true);
    RaiseFloor(latestComposition.load());
    shutdownFloor = latestComposition.load();
    ShutdownPresence();
    shown = false;
}

void ReopenPresenceClient() {
    MutexLock lock(clientLock);
    closedForQuit = false;
    closedForQuitSeen.store(false);
}

}  // namespace kiln
