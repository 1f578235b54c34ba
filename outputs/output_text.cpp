#include "outputs/output_text.h"

#include "core/host_contract.h"
#include "core/host_services.h"
#include "plugin/shared_state.h"

namespace kiln {

std::string ToUtf8(const wchar_t* text) {
    const HostServices* host = Host();
    if (!host || !text) {
        return {};
    }
    char* bytes = host->wideToNarrow(text, -1, contract::kCodePageUtf8);
    if (!bytes) {
        return {};
    }
    std::string out(bytes);
    host->freeMemory(bytes);
    return out;
}

void FormatForCurrentItem(const wchar_t* format, wchar_t* out, int outChars, int mode) {
    if (outChars <= 0) {
        return;
    }
    out[0] = L'\0';
    if (const HostServices* host = Host()) {
        host->formatTitle(currentLocation, kLocationChars, format, out, outChars, mode, nullptr);
    }
}

}  // namespace kiln
