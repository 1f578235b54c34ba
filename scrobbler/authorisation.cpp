#include "scrobbler/authorisation.h"

#include "plugin/host_services.h"
#include "plugin/settings.h"

namespace kiln {
namespace {
char* sessionKey = nullptr;  // a text-service copy
}

const char* GetSessionKey() {
    if (sessionKey) {
        return sessionKey;
    }
    const HostServices* host = Host();
    if (!host) {
        return nullptr;
    }
    wchar_t stored[64] = L"";
    ReadTextSetting(L"sk", L"", stored, 64);
    if (stored[0] == L'\0') {
        return nullptr;
    }
    char* utf8 = host->wideToNarrow(stored, -1, 65001);
    if (!utf8) {
        return nullptr;
    }
    sessionKey = utf8;
    return sessionKey;
}

}  // namespace kiln
