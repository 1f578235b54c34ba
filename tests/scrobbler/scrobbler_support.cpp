#include "scrobbler_support.h"

#include <gtest/gtest.h>

#include <fstream>

#include "services/paths.h"
#include "services/text_services.h"

namespace kiln::test {

std::filesystem::path WriteTrack(const std::filesystem::path& folder,
                                 const host::SampleRecipe& recipe) {
    std::filesystem::path path = host::WriteSampleTrack(folder, recipe);
    EXPECT_FALSE(path.empty()) << recipe.fileName;
    return path;
}

std::string CacheLine(int64_t time, const std::filesystem::path& file) {
    return std::to_string(time) + "," + host::WideToUtf8(host::FromFsPath(file)) + "\r\n";
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

void ScrobblerHost::WriteCache(const std::string& bytes) {
    std::filesystem::create_directories(CacheFile().parent_path());
    std::ofstream(CacheFile(), std::ios::binary) << bytes;
}

void ScrobblerHost::Start() {
    host().SetNow(kStartTime);
    MapService(fake_.Address());
    plugin_->Start();
    ASSERT_TRUE(plugin_->windows().OpenPage(PageId()));
}

intptr_t ScrobblerHost::PageId() {
    for (const auto& page : plugin_->windows().Pages()) {
        if (page.name == L"Last.fm Scrobbler") {
            return page.id;
        }
    }
    return 0;
}

std::wstring ScrobblerHost::ControlText(int controlId) {
    auto control = plugin_->windows().Control(Page(), controlId);
    return control ? control->text : L"(no control)";
}

bool ScrobblerHost::WaitForStatus(const std::wstring& text, bool prefixOnly) {
    const bool seen = plugin_->RunUntil([&] {
        const std::wstring status = Status();
        return prefixOnly ? status.rfind(text, 0) == 0 : status == text;
    });
    EXPECT_TRUE(seen) << host::WideToUtf8(Status());
    return seen;
}

}  // namespace kiln::test
