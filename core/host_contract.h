// The named numbers of the contract between the plug-in and its host: the
// notification message and its codes, the plug-in's timers, title-formatting
// modes, path entries, code pages, and the transfer options it sets.
#pragma once

#include <cstdint>

namespace kiln::contract {

// The player's IPC message (WM_USER) and what its lParam/wParam say.
inline constexpr unsigned kIpcMessage = 0x0400;
inline constexpr intptr_t kNewItem = 13003;           // a new item is playing
inline constexpr intptr_t kNewItemAlternative = 243;  // the same, from older players
inline constexpr intptr_t kPlaybackNotice = 603;      // wParam says which:
inline constexpr uintptr_t kStatusChanged = 2;
inline constexpr uintptr_t kInfoChanged = 10;

// Playback status as the host reports it.
inline constexpr int kStatusStopped = 0;
inline constexpr int kStatusPlaying = 1;
inline constexpr int kStatusPaused = 3;

// Timers the plug-in sets on the host's main window.
inline constexpr uintptr_t kScrobbleTimerId = 738;
inline constexpr uintptr_t kPresenceTimerId = 748;

// Title-formatting modes.
inline constexpr int kTitleModeFileName = 0;  // control characters dropped
inline constexpr int kTitleModeUrlEscaped = 1;
inline constexpr int kTitleModePlain = 2;

// Path entries of the host.
inline constexpr int kPathEntryLogsParent = 2;  // holds the "Logs" folder
inline constexpr int kPathEntryCache = 40;

// Code pages of the conversion services.
inline constexpr int kCodePageSystem = 0;
inline constexpr int kCodePageUtf8 = 65001;

// Transfer options the plug-in sets through the web-request services
// (libcurl's CURLOPT_* numbers).
inline constexpr int kWebOptionPostFields = 10015;
inline constexpr int kWebOptionPostFieldSize = 60;
inline constexpr int kWebOptionHttpVersion = 84;
inline constexpr long kWebHttpVersion11 = 2;
inline constexpr int kWebOptionSslVerifyPeer = 64;
inline constexpr int kWebOptionNoProgress = 43;
inline constexpr int kWebOptionMimePost = 10269;
inline constexpr int kWebOptionXferInfoFunction = 20219;
inline constexpr int kWebOptionXferInfoData = 10057;

}  // namespace kiln::contract
