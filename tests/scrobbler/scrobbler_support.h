// The plug-in driven through the substitute host, with its scrobbler pointed
// at the fake service and the scrobbler page open so that its status can be
// read as the user sees it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "fake_scrobbler.h"
#include "host/sample_media.h"
#include "support/plugin_host.h"

namespace kiln::test {

inline constexpr int64_t kStartTime = 1700000000;

std::filesystem::path WriteTrack(const std::filesystem::path& folder,
                                 const host::SampleRecipe& recipe);
// A cache line as the plug-in writes it.
std::string CacheLine(int64_t time, const std::filesystem::path& file);

class ScrobblerHost {
  public:
    // scrobbleFlags: the "scrobble" setting; authorised: the fake's session
    // key stored. A profile folder, when given, outlives this host.
    ScrobblerHost(FakeScrobbleService& fake, int scrobbleFlags, bool authorised = true,
                  const std::filesystem::path& profile = {});

    PluginHost& plugin() { return *plugin_; }
    host::SubstituteHost& host() { return plugin_->host(); }
    std::filesystem::path Media() const { return plugin_->profile() / "media"; }
    std::filesystem::path CacheFile() const {
        return plugin_->profile() / "cache" / "scrobble.cache";
    }
    std::string CacheBytes() const { return ReadFileBytes(CacheFile()); }
    std::filesystem::path RejectedFile() const {
        return CacheFile().parent_path() / "scrobble.rejected";
    }
    void WriteCache(const std::string& bytes);

    // Starts the plug-in with the clock at kStartTime, the service host mapped
    // to the fake and the scrobbler page open.
    void Start();
    void MapService(const std::string& address);
    intptr_t PageId();
    Window Page();
    std::wstring ControlText(int controlId);
    std::wstring Status();
    bool WaitForStatus(const std::wstring& text, bool prefixOnly = false);

    // Plays a file and moves the host clock on at once, before the worker
    // arms the scrobble timer (it first sleeps 750 ms).
    void PlayAndAdvance(const std::filesystem::path& file, int64_t seconds);

  private:
    FakeScrobbleService& fake_;
    std::unique_ptr<PluginHost> plugin_;
};

}  // namespace kiln::test
