// Preference pages of the substitute host's window system: what the plug-in
// registered for each page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/host_services.h"

namespace kiln::host {

// A registered preference page, as the plug-in gave it.
struct PageInfo {
    intptr_t id = 0;
    Instance instance = nullptr;
    int flags = 0;  // for a single page, the value in the dialog id's place
    std::wstring name;
    // Dialog id and routine per tab; a single page has one record (the one
    // it was registered with, or its dialog id and no routine).
    std::vector<PrefsTab> tabs;
    std::vector<std::wstring> tabNames;
    int parent = 0;
    PagePositionProc position = nullptr;
    CreateDialogProc create = nullptr;
    int visible = 0;
    LocalisationService* localisation = nullptr;
    int group = 0;
    int pageCode = 0;
    bool tabsFinalised = false;
    int finaliseFlags = 0;

    bool Tabbed() const { return tabs.size() > 1; }
};

}  // namespace kiln::host
