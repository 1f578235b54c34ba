#include "outputs/pages.h"

namespace kiln {
namespace {

// The tabs' own controls are not handled yet; the host's default handling
// keeps the pages usable as plain dialogs meanwhile.
intptr_t DefaultHandling(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (const HostServices* host = Host()) {
        host->defaultPageHandling(page, message, wParam, lParam, -1);
    }
    return 0;
}

}  // namespace

intptr_t HistoryPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return DefaultHandling(page, message, wParam, lParam);
}
intptr_t NowPlayingPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return DefaultHandling(page, message, wParam, lParam);
}
intptr_t ArtworkPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return DefaultHandling(page, message, wParam, lParam);
}
intptr_t PostPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return DefaultHandling(page, message, wParam, lParam);
}

}  // namespace kiln
