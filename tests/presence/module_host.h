// For the suites that call the presence modules directly (linked from
// kiln_core_static): the program is the host for the whole process, as a
// player is for a loaded plug-in, with one profile and settings loaded once.
#pragma once

#include <filesystem>

#include "host/substitute_host.h"
#include "support/plugin_host.h"

namespace kiln::test {

class PresenceModuleHost {
  public:
    static PresenceModuleHost& Get();

    host::SubstituteHost& host() { return host::SubstituteHost::Instance(); }
    const std::filesystem::path& profile() const { return profile_.path(); }
    std::filesystem::path MediaFolder() const { return profile() / "media"; }

  private:
    PresenceModuleHost();
    TempFolder profile_;
};

}  // namespace kiln::test
