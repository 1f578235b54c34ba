#include "scrobbler_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "host/paths.h"
#include "host/text_services.h"
#include "host/window_system.h"
#include "resources/resource_ids.h"

namespace kiln::test {

std::filesystem::path WriteTrack(const std::filesystem::path& folder, const TrackSpec& recipe) {
    host::SampleSpec sample;
    sample.fileName = recipe.fileName;
    sample.title = recipe.title;
    sample.artist = recipe.artist;
    sample.album = recipe.album;
    sample.albumArtist = recipe.albumArtist;
    sample.trackNumber = recipe.trackNumber;
    sample.seconds = recipe.seconds;
    std::filesystem::path path = host::WriteSampleTrack(folder, sample);
    EXPECT_FALSE(path.empty()) << recipe.fileName;
    return path;
}

std::filesystem::path CacheFileOf(const std::filesystem::path& profile) {
    return profile / "cache" / "scrobble.cache";
}

std::string CacheLine(int64_t time, const std::filesystem::path& file) {
    return std::to_string(time) + "," + host::WideToUtf8(host::FromFsPath(file)) + "\r\n";
}

void WriteCacheLines(const std::filesystem::path& profile,
                     const std::vector<std::pair<int64_t, std::filesystem::path>>& plays) {
    std::filesystem::create_directories(profile / "cache");
    std::ofstream out(CacheFileOf(profile), std::ios::binary | std::ios::app);
    for (const auto& [time, file] : plays) {
        out << CacheLine(time, file);
    }
}

ScrobblerHost::ScrobblerHost(FakeScrobbleService& fake, int scrobbleFlags, bool authorised,
                             const std::filesystem::path& profile)
    : fake_(fake),
      plugin_(profile.empty() ? std::make_unique<PluginHost>()
                              : std::make_unique<PluginHost>(profile)) {
    plugin_->SetInt(L"scrobble", scrobbleFlags);
    if (authorised) {
        const std::string key = FakeScrobbleService::kSessionKey;
        plugin_->SetText(L"sk", std::wstring(key.begin(), key.end()).c_str());
        plugin_->SetText(L"lfm", L"kiln-listener");
    }
}

ScrobblerHost::~ScrobblerHost() = default;

void ScrobblerHost::Start() {
    host().SetNow(kStartTime);
    MapService(fake_.Address());
    plugin_->Start();
    ASSERT_NE(PageId(), 0);
    ASSERT_TRUE(plugin_->windows().OpenPage(PageId()));
}

void ScrobblerHost::MapService(const std::string& address) {
    host().MapHost("ws.audioscrobbler.com", address);
}

intptr_t ScrobblerHost::PageId() {
    for (const auto& page : plugin_->windows().Pages()) {
        if (page.name == L"Last.fm Scrobbler") {
            return page.id;
        }
    }
    return 0;
}

Window ScrobblerHost::Page() {
    return plugin_->windows().OpenPageDialog();
}

std::wstring ScrobblerHost::ControlText(int controlId) {
    auto control = plugin_->windows().Control(Page(), controlId);
    return control ? control->text : L"(no control)";
}

std::wstring ScrobblerHost::Status() {
    return ControlText(IDC_SCROBBLE_STATUS);
}

void ScrobblerHost::PlayAndAdvance(const std::filesystem::path& file, int64_t seconds) {
    plugin_->Play(file);
    host().AdvanceClock(seconds);
}

bool ScrobblerHost::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        plugin_->RunFor(10);
    }
    return true;
}

bool ScrobblerHost::WaitForStatus(const std::wstring& status, int timeoutMs) {
    return WaitFor([&] { return Status() == status; }, timeoutMs);
}

bool ScrobblerHost::WaitForStatusPrefix(const std::wstring& prefix, int timeoutMs) {
    return WaitFor([&] { return Status().rfind(prefix, 0) == 0; }, timeoutMs);
}

}  // namespace kiln::test
