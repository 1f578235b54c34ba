// The scrobbler's one status text: kept for the scrobbler page, which shows it
// whenever it opens, and written straight into the page when it is open.
#pragma once

#include <atomic>
#include <string>

#include "core/host_services.h"

namespace kiln {

// Status texts are formatted into buffers of this many wide characters.
inline constexpr int kStatusChars = 2048;

// The scrobbler page's window, set when the page is made. It may name a
// window that is gone, so every use tests it first.
extern std::atomic<Window> scrobblerPageWindow;

// transient false: keeps a copy (replacing the previous one). transient true:
// shows the text without keeping it and drops a kept one. Either way an open
// page shows the kept text, else this one.
void SetScrobblerStatus(const wchar_t* text, bool transient);

// The kept text, or nothing.
bool HasScrobblerStatus();
std::wstring ScrobblerStatusCopy();

}  // namespace kiln
