// For suites that call the plug-in's modules directly (linked from
// kiln_core_static): the program is the host for the whole process, as a
// player is for a loaded plug-in, with one profile opened and handed to the
// plug-in's objects on first use. Paths the plug-in fixes at first use (its
// cache file, for one) are therefore shared by every test of the process.
#pragma once

#include <filesystem>

#include "host/substitute_host.h"
#include "support/plugin_host.h"

namespace kiln::test {

class ModuleHost {
  public:
    static ModuleHost& Get();

    host::SubstituteHost& host() { return host::SubstituteHost::Instance(); }
    const std::filesystem::path& profile() const { return profile_.path(); }
    std::filesystem::path MediaFolder() const { return profile() / "media"; }

  private:
    ModuleHost();
    TempFolder profile_;
};

}  // namespace kiln::test
