#include "presence/presence.h"

#include "plugin/settings.h"
#include "presence/presence_page.h"

namespace kiln {

void RefreshDiscordPresence(const void*) {
    if (updateDiscord.load() == 0) {
        return;
    }
    // Composition and sending arrive with the presence client.
}

void ShutdownPresenceForQuit() {}

intptr_t PresencePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (const HostServices* host = Host()) {
        host->defaultPageHandling(page, message, wParam, lParam, -1);
    }
    return 0;
}

}  // namespace kiln
