// The "Rules" preference page, and the tracking-paused notice that it and the
// history tab show at their top.
#pragma once

#include "core/host_services.h"

namespace kiln {

intptr_t RulesPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

// Shows the notice and its resume button while tracking is paused.
void ShowTrackingPaused(Window page);
// The resume button: tracking goes on, the notice goes. True when `id` was it.
bool TrackingPausedCommand(Window page, int id, unsigned notification);

}  // namespace kiln
