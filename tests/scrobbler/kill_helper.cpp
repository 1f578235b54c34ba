// A player process for the kill test: plays one item with scrobbling on and
// runs until its submission has replaced the scrobble cache, or is killed.
// Arguments: profile folder, scrobbling service address, file to play.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "fake_scrobbler.h"
#include "support/plugin_host.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    const std::filesystem::path profile = argv[1];
    const auto cache = profile / "cache" / "scrobble.cache";
    // Appending keeps the file; only a replacement gives it a new one.
    struct stat before {};
    if (stat(cache.c_str(), &before) != 0) {
        return 2;
    }
    kiln::test::PluginHost plugin(profile);
    const std::string key = kiln::test::FakeScrobbleService::kSessionKey;
    plugin.SetInt(L"scrobble", 1);
    plugin.SetText(L"sk", std::wstring(key.begin(), key.end()).c_str());
    plugin.host().SetNow(1700000000);
    plugin.host().MapHost("ws.audioscrobbler.com", argv[2]);
    plugin.Start();
    plugin.Play(argv[3]);
    plugin.host().AdvanceClock(30);
    const bool replaced = plugin.RunUntil(
        [&] {
            struct stat now {};
            return stat(cache.c_str(), &now) == 0 && now.st_ino != before.st_ino;
        },
        10000);
    plugin.Quit();
    return replaced ? 0 : 1;
}
