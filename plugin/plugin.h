// Module-wide state of the plug-in frame.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/descriptor.h"

namespace kiln {

inline constexpr const char* kVersionText = "3.3.4";
inline constexpr const wchar_t* kVersionTextWide = L"3.3.4";
inline constexpr const wchar_t* kBuildDateText = L"Sep 27 2024";

PluginDescriptor& Descriptor();
Window HostWindow();

extern Instance languageInstance;
extern intptr_t mainPageId;
extern intptr_t scrobblerPageId;

// A localised string of the plug-in, or an empty text.
const wchar_t* LocalString(int id);

// Creates a dialog of the plug-in's resources, localised when possible.
Window CreatePluginDialog(int dialogId, Window parent, DialogProc proc, intptr_t param);

// Resolves the host program's table; idempotent. False when it exports none.
bool BindHostServices();

// Posts the frame's own message to the host window; the hook hands it to
// RunTimerRequest (wParam: a timer id) or the deferred start-up (wParam 0).
void PostFrameMessage(uintptr_t wParam);

// Whether the hook acts on playback notices: from init until quit begins.
extern std::atomic<bool> hookOpen;
// A new item has started: the flags as for a start, and the play signalled.
void OnNewItem();

// Private mode ("Pause tracking"): every output stops at once and stays off,
// across restarts, until it is turned off; the presence is cleared.
void SetPrivateMode(bool on);

// The tracking-paused notice and its Resume button (IDC_PAUSED_NOTICE,
// IDC_PAUSED_RESUME) that pages carry. A page shows it at its opening and is
// kept up to date until it goes: SetPrivateMode shows or hides the notice on
// every such page at once.
void ShowTrackingPaused(Window page);
void ForgetTrackingPaused(Window page);
// The Resume button: tracking goes on. True when `id` was it.
bool TrackingPausedCommand(Window page, int id, unsigned notification);

int InitPlugin();
void ConfigPlugin();
void QuitPlugin();
void OnDeferredStartup();
void HostMessageHook(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);

}  // namespace kiln
