// The "Discord" preference page.
#pragma once

#include "plugin/host_services.h"

namespace kiln {

intptr_t PresencePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

}  // namespace kiln
