// The "Last.fm Scrobbler" preference page: dialog 110 when an account is
// authorised, dialog 111 when not.
#pragma once

#include "core/host_services.h"

namespace kiln {

intptr_t ScrobblerPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

// Refreshes the waiting texts and which options can be changed.
void UpdateScrobblerPageState(Window page);

}  // namespace kiln
