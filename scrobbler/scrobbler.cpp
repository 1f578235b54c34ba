#include "scrobbler/scrobbler_page.h"
#include "scrobbler/worker_steps.h"

namespace kiln {

// Submission, the cache and the page's controls arrive with the scrobbler.
void ScrobbleOnPlayStarted() {}
void ScrobbleOnUnpaused() {}
void SubmitToScrobbler(bool) {}

intptr_t ScrobblerPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (const HostServices* host = Host()) {
        host->defaultPageHandling(page, message, wParam, lParam, -1);
    }
    return 0;
}

}  // namespace kiln
