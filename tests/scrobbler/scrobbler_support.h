// The plug-in driven through the substitute host, with its scrobbler pointed
// at the fake service and the scrobbler page open so that its status can be
// read as the user sees it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "fake_scrobbler.h"
#include "host/sample_media.h"
#include "support/plugin_host.h"

namespace kiln::test {

inline constexpr int64_t kStartTime = 1700000000;

struct TrackSpec {
    std::string fileName;
    std::wstring title, artist, album, albumArtist;
    int trackNumber = 0;
    int seconds = 200;
};
std::filesystem::path WriteTrack(const std::filesystem::path& folder, const TrackSpec& recipe);

// The cache file of a profile.
std::filesystem::path CacheFileOf(const std::filesystem::path& profile);
// One line per play, as the plug-in writes them.
void WriteCacheLines(const std::filesystem::path& profile,
                     const std::vector<std::pair<int64_t, std::filesystem::path>>& plays);
std::string CacheLine(int64_t time, const std::filesystem::path& file);

class ScrobblerHost {
  public:
    // scrobbleFlags: the "scrobble" setting; authorised: the fake's session
    // key stored. A profile folder, when given, outlives this host.
    ScrobblerHost(FakeScrobbleService& fake, int scrobbleFlags, bool authorised = true,
                  const std::filesystem::path& profile = {});
    ~ScrobblerHost();

    PluginHost& plugin() { return *plugin_; }
    host::SubstituteHost& host() { return plugin_->host(); }
    const std::filesystem::path& profile() const { return plugin_->profile(); }
    std::filesystem::path Media() const { return plugin_->profile() / "media"; }

    // Starts the plug-in with the clock at kStartTime, the service host mapped
    // to the fake (or to `address`) and the scrobbler page open.
    void Start();
    void MapService(const std::string& address);
    intptr_t PageId();
    Window Page();
    std::wstring Status();
    std::wstring ControlText(int controlId);

    // Plays a file and moves the host clock on at once, before the worker
    // arms the scrobble timer (it first sleeps 750 ms).
    void PlayAndAdvance(const std::filesystem::path& file, int64_t seconds);
    // Runs the main loop in short slices until done() or the time is up.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);
    bool WaitForStatus(const std::wstring& status, int timeoutMs = 5000);
    bool WaitForStatusPrefix(const std::wstring& prefix, int timeoutMs = 5000);

  private:
    FakeScrobbleService& fake_;
    std::unique_ptr<PluginHost> plugin_;
};

}  // namespace kiln::test
