// The four tabs of the "Play Tracking" preference page.
#pragma once

#include "plugin/host_services.h"

namespace kiln {

intptr_t HistoryPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t NowPlayingPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t ArtworkPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t PostPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

}  // namespace kiln
