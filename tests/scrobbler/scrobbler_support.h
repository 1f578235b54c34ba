// The plug-in driven through the substitute host, with its scrobbler pointed
// at the fake service and the scrobbler page open so that its status can be
// read as the user sees it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "fake_scrobbler.h"
#include "host/sample_media.h"
#include "resources/resource_ids.h"
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
    // A tagged item of the media folder, with no album.
    std::filesystem::path Track(const std::string& file, const std::wstring& title,
                                const std::wstring& artist, int seconds = 60) {
        return WriteTrack(Media(), {file, title, artist, L"", L"", 0, seconds});
    }
    std::filesystem::path CacheFile() const {
        return plugin_->profile() / "cache" / "scrobble.cache";
    }
    std::string CacheBytes() const { return ReadFileBytes(CacheFile()); }
    std::filesystem::path RejectedFile() const {
        return CacheFile().parent_path() / "scrobble.rejected";
    }
    void WriteCache(const std::string& bytes);
    bool WaitForCacheGone() {
        return plugin_->RunUntil([&] { return !std::filesystem::exists(CacheFile()); });
    }
    bool WaitForScrobbles(size_t count) {
        return plugin_->RunUntil([&] { return fake_.Scrobbles().size() == count; });
    }

    // Starts the plug-in with the clock at kStartTime, the service host mapped
    // to the fake and the scrobbler page open.
    void Start();
    void MapService(const std::string& address) {
        host().MapHost("ws.audioscrobbler.com", address);
    }
    // Nothing listens on loopback port 1: only a privileged program could,
    // and none does; unlike a freed ephemeral port, no other test takes it.
    void MapServiceToClosedPort() { MapService("http://127.0.0.1:1"); }
    intptr_t PageId();
    Window Page() { return plugin_->windows().OpenPageDialog(); }
    std::wstring ControlText(int controlId);
    std::wstring Status() { return ControlText(IDC_SCROBBLE_STATUS); }
    bool WaitForStatus(const std::wstring& text, bool prefixOnly = false);

    // Plays a file and moves the host clock on at once, before the worker
    // arms the scrobble timer (it first sleeps 750 ms).
    void PlayAndAdvance(const std::filesystem::path& file, int64_t seconds) {
        plugin_->Play(file);
        host().AdvanceClock(seconds);
    }

  private:
    FakeScrobbleService& fake_;
    std::unique_ptr<PluginHost> plugin_;
};

}  // namespace kiln::test
