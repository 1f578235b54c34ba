// For the suites that exercise the scrobbler's modules directly (linked from
// kiln_core_static): the program is the host, as a player is, for the whole
// process. The cache path is fixed at first use, so every test of the
// process shares one profile.
#pragma once

#include <filesystem>
#include <string>

#include "host/substitute_host.h"
#include "support/plugin_host.h"

namespace kiln::test {

class ModuleHost {
  public:
    // The shared host, opened and handed to the plug-in's objects on first use.
    static ModuleHost& Get();

    host::SubstituteHost& host() { return host::SubstituteHost::Instance(); }
    const std::filesystem::path& profile() const { return profile_.path(); }
    std::filesystem::path CacheFile() const { return profile() / "cache" / "scrobble.cache"; }
    std::filesystem::path MediaFolder() const { return profile() / "media"; }

    // Settings written as a page would, into section gen_kiln.
    void SetText(const wchar_t* key, const wchar_t* value);
    // A clean state for the next test: no cache files, web on, the fake's
    // session key stored.
    void Reset();

  private:
    ModuleHost();
    TempFolder profile_;
};

}  // namespace kiln::test
