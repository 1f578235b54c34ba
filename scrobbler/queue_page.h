// The "Scrobble Queue" preference page (dialog 108): the plays waiting to be
// scrobbled, the lines set aside, and what can be done with them.
#pragma once

#include "core/host_services.h"

namespace kiln {

intptr_t ScrobbleQueuePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

}  // namespace kiln
