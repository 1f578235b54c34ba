// Settings loading on the module itself: clamps, defaults, folders, unescape.
#include <gtest/gtest.h>

#include <string>

#include "core/host_services.h"
#include "host/substitute_host.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "services/paths.h"
#include "services/settings_store.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

TEST(SettingsClamp, StoredValuesAreClampedAsUnsigned) {
    struct Case {
        int (*clamp)(int);
        int stored;
        int used;
    };
    const Case cases[] = {
        {&ClampNowLoggingOn, 0, 0},    {&ClampNowLoggingOn, 1, 1},
        {&ClampNowLoggingOn, 2, 3},    {&ClampNowLoggingOn, 3, 3},
        {&ClampNowLoggingOn, 7, 0},    {&ClampNowLoggingOn, -1, 0},
        {&ClampArtLimitUpscale, 0, 0}, {&ClampArtLimitUpscale, 2, 2},
        {&ClampArtLimitUpscale, 9, 3}, {&ClampArtLimitUpscale, -1, 3},
        {&ClampDiscordPrefix, 2, 2},   {&ClampDiscordPrefix, 3, 0},
        {&ClampDiscordPrefix, -1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.clamp(c.stored), c.used) << "stored " << c.stored;
    }
}

// LoadSettings runs once per process, so one test covers a whole load.
TEST(SettingsLoad, ReadsClampsUnescapesAndFillsDefaultFolders) {
    TempFolder profile;
    auto& host = host::SubstituteHost::Instance();
    host.OpenProfile(profile.path());
    ASSERT_TRUE(BindHostServices());
    auto& store = host.Settings();
    store.WriteInt(L"gen_kiln", L"now_logging_on", 2);
    store.WriteInt(L"gen_kiln", L"art_limit_upscale", -1);
    store.WriteInt(L"gen_kiln", L"discordprefix", 3);
    store.WriteInt(L"gen_kiln", L"art_w_limit", 123);
    store.WriteText(L"gen_kiln", L"format", L"%title%");
    store.WriteTemplate(L"gen_kiln", L"postplay",
                        host::EscapeText(L"http://a/?x=1\r\nsecond").c_str());
    store.WriteTemplate(L"gen_kiln", L"discord", host::EscapeText(L"one\r\ntwo\r\nthree").c_str());
    std::wstring longName(400, L'n');
    store.WriteText(L"gen_kiln", L"file", longName.c_str());

    LoadSettings();
    EXPECT_TRUE(SettingsLoaded());
    EXPECT_EQ(nowLoggingOn.load(), 3);
    EXPECT_EQ(artLimitUpscale.load(), 3);
    EXPECT_EQ(discordPrefix.load(), 0);
    EXPECT_EQ(artWidthLimit.load(), 123);
    EXPECT_EQ(artHeightLimit.load(), 600);
    EXPECT_EQ(scrobbleFlags.load(), 2);
    EXPECT_EQ(prePost.load(), 1);
    EXPECT_EQ(std::wstring(historyFormat), L"%title%");
    EXPECT_EQ(std::wstring(postPlay), L"http://a/?x=1\r\nsecond");
    EXPECT_EQ(std::wstring(presenceTemplate), L"one\r\ntwo\r\nthree");
    EXPECT_EQ(std::wstring(postPause), L"");
    // Cut to the buffer, terminator included.
    EXPECT_EQ(std::wstring(historyFileTemplate), std::wstring(259, L'n'));
    EXPECT_EQ(std::wstring(nowFileTemplate), L"$pathsafe(kiln_log_now.txt)");
    // The three empty folders are the same "Logs" folder below the host folder.
    std::wstring logs = host::FromFsPath(profile.path() / "Logs");
    EXPECT_EQ(std::wstring(historyFolder), logs);
    EXPECT_EQ(std::wstring(nowFolder), logs);
    EXPECT_EQ(std::wstring(artFolder), logs);
    // Not written back.
    EXPECT_FALSE(store.Get(L"gen_kiln", L"log_folder").has_value());

    // A second load reads nothing.
    store.WriteInt(L"gen_kiln", L"art_w_limit", 999);
    LoadSettings();
    EXPECT_EQ(artWidthLimit.load(), 123);
}

}  // namespace
}  // namespace kiln::test
