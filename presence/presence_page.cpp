#include "presence/presence_page.h"

namespace kiln {

intptr_t PresencePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (const HostServices* host = Host()) {
        host->defaultPageHandling(page, message, wParam, lParam, -1);
    }
    return 0;
}

}  // namespace kiln
