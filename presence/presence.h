// Presence composition: what the rich presence shows and when it is sent.
#pragma once

namespace kiln {

// The worker's presence step for every playback event.
void RefreshDiscordPresence(const void* extra);

// Quit: shuts the presence client down, never overlapping a send.
void ShutdownPresenceForQuit();

}  // namespace kiln
