// Every call of the presence subsystem into the presence client goes through
// here, so that a shutdown never overlaps another client call (client_guard.cpp
// says how).
#pragma once

#include <cstdint>
#include <string>

#include "presence_ipc/presence_client.h"

namespace kiln {

// What a send needs besides the record, taken when the record was composed.
struct PresenceVersion {
    uint64_t sequence = 0;  // the composition's number, from 1 up
    bool isVideo = false;
    uint32_t activityMode = 0;  // "discordprefix" at the composition
};

// Numbers a new composition (worker only) and returns its number.
uint64_t BeginPresenceComposition();
uint64_t LatestPresenceComposition();

// InitializePresence, unless the plug-in has quit or a shutdown came after the
// composition `sequence` began.
void StartPresenceClient(const char* applicationId, uint64_t sequence);

// UpdatePresence and RunPresenceCallbacks, with the activity type inputs of
// `version`; skipped when the plug-in has quit, when a shutdown came after the
// composition began, or when a newer composition has gone out already.
void SendPresenceRecord(const RichPresence& record, const PresenceVersion& version);

// The record of composition `version` sent again with more in it (its image):
// only while that composition is the newest and no shutdown came after it.
void SendPresenceFollowUp(const RichPresence& record, const PresenceVersion& version);

// ClearPresence and RunPresenceCallbacks, under the rules of
// SendPresenceRecord, and only when a presence has been sent since the client
// last started: a clear that would replace nothing is not sent.
void ClearPresenceRecord(uint64_t sequence);

// True when composition `sequence` can no longer be sent: a newer one has
// begun, a shutdown came after it, or the plug-in has quit. Any thread,
// without waiting for a client call in progress.
bool PresenceCompositionOvertaken(uint64_t sequence);

// The last error reply of the Discord application to one of our messages, as
// the client's error handler received it; count 0 when there was none.
struct PresenceErrorReport {
    int32_t code = 0;
    std::string message;
    uint64_t count = 0;
};
PresenceErrorReport LastPresenceError();

// ShutdownPresence. Compositions begun before it are never sent after it.
void ShutdownPresenceClient();
// The same, and nothing starts or sends until ReopenPresenceClient.
void ShutdownPresenceClientForQuit();
void ReopenPresenceClient();

}  // namespace kiln
