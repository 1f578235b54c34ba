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
// held (the plug-in's handler set is empty), and ShutdownPresence joins only
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
#include <mutex>

namespace kiln {
namespace {

// The plug-in takes none of the client's events.
const PresenceHandlers noHandlers{};

std::mutex clientLock;
// -- guarded by clientLock
uint64_t sendFloor = 0;
bool closedForQuit = false;
// -- end of clientLock group

// Written by the worker, read under clientLock by the shutdowns.
std::atomic<uint64_t> latestComposition{0};

bool MaySend(uint64_t sequence) {
    return !closedForQuit && sequence > sendFloor;
}

}  // namespace

uint64_t BeginPresenceComposition() {
    return latestComposition.fetch_add(1) + 1;
}

uint64_t LatestPresenceComposition() {
    return latestComposition.load();
}

void StartPresenceClient(const char* applicationId, uint64_t sequence) {
    std::lock_guard<std::mutex> lock(clientLock);
    if (MaySend(sequence)) {
        InitializePresence(applicationId, &noHandlers);
    }
}

void SendPresenceRecord(const RichPresence& record, const PresenceVersion& version) {
    std::lock_guard<std::mutex> lock(clientLock);
    if (!MaySend(version.sequence)) {
        return;
    }
    sendFloor = version.sequence;
    presenceActivityMode.store(version.activityMode);
    presenceIsVideo.store(version.isVideo);
    UpdatePresence(record);
    RunPresenceCallbacks();
}

void ShutdownPresenceClient() {
    std::lock_guard<std::mutex> lock(clientLock);
    sendFloor = std::max(sendFloor, latestComposition.load());
    ShutdownPresence();
}

void ShutdownPresenceClientForQuit() {
    std::lock_guard<std::mutex> lock(clientLock);
    closedForQuit = true;
    sendFloor = std::max(sendFloor, latestComposition.load());
    ShutdownPresence();
}

void ReopenPresenceClient() {
    std::lock_guard<std::mutex> lock(clientLock);
    closedForQuit = false;
}

}  // namespace kiln
