#include "plugin/playing_title.h"

#include "core/host_contract.h"
#include "core/host_services.h"
#include "plugin/settings.h"

namespace kiln {

const wchar_t* PlayingTitle(const wchar_t* file) {
    thread_local wchar_t title[kPathChars];
    title[0] = L'\0';
    if (const HostServices* host = Host()) {
        host->formatTitleForFile(file, L"Playing: [%artist% - ]$if2(%title%,%filename%)", title,
                                 kPathChars, contract::kTitleModeFileName);
    }
    return title;
}

}  // namespace kiln
