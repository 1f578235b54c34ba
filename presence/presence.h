// Presence composition: what the rich presence shows and when it is sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/host_services.h"
#include "presence_ipc/presence_client.h"

namespace kiln {

enum PresenceState : int {
    kPresenceStopped = 0,
    kPresencePlaying = 1,
    kPresencePaused = 2,
};

inline constexpr unsigned kAutoDisableDelayMs = 15000;
inline constexpr size_t kPresenceCutWithBreak = 256;
inline constexpr size_t kPresenceCutOneLine = 128;

// The one presence record, reused for every update. Written by the worker
// only: a cover-art callback works on a copy of its own (see cover_art.h).
extern RichPresence presenceRecord;
// Set from the item's "type" in prefix mode 1; kept as it is in the others.
extern std::atomic<bool> presenceVideoFlag;

// The worker's presence step for every playback event.
void RefreshDiscordPresence(const void* extra);

// The user's presence template formatted for the item now playing, as UTF-8
// cut to 256 bytes (with a line break) or 128 bytes (without), at a
// character boundary. Empty when formatting or conversion fails.
std::string FormatPresenceText(const void* extra);

// Splits `text` into its lines and fills the text, time and state fields of
// presenceRecord for `state`.
void ComposePresence(std::string_view text, int state);

// Takes ownership of `location`, the UTF-8 name of the item (host-allocated,
// may be null): starts the client with the chosen identity, fills the button
// and the large image, and sends now; a cover still on its way (for the item
// showing `text`, the presence text) follows in a later update.
void SendPresence(char* location, std::string_view text);

// At a play's start, before the worker's settling pause (worker thread):
// starts fetching, and if need be uploading, the cover of the item now
// playing, so that the presence sent after the pause can carry it at once
// rather than in a second update. Does nothing without cover upload.
void PrefetchPresenceCover();

// Timer 748 on the host window: 15 s after a hard stop, shuts the client down.
void AutoDisableTimerProc(Window window, unsigned message, uintptr_t timerId, uint32_t time);

// For the presence page: takes the shown presence away and lets the next send
// start the client with the then current settings, then asks the worker for a
// fresh presence.
void RestartPresence();

// Quit: shuts the presence client down; nothing is started or sent after it
// until ReopenPresence.
void ShutdownPresenceForQuit();
// Init: allows sends again after a quit that did not unload the library.
void ReopenPresence();

}  // namespace kiln
