// The "Rules" preference page.
#pragma once

#include "core/host_services.h"

namespace kiln {

intptr_t RulesPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

}  // namespace kiln
