// The "Discord" preference page through the substitute host's dialogs, and
// the auto-disable as the player drives it, with the plug-in's client talking
// to a fake Discord application.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "fake_discord.h"
#include "host/sample_media.h"
#include "platform/window.h"
#include "plugin/settings.h"
#include "presence/application_ids.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "resources/resource_ids.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

// Longer than the 26 characters a 64-character forum address had room for.
const std::string kWebBase = "http://127.0.0.1:9/a/web/base/address/of/the/host/";

struct PageRig {
    explicit PageRig(int autoDisable) {
        plugin.host().SetWebBase(kWebBase);
        plugin.SetInt(L"updatediscord", 1);
        plugin.SetInt(L"autodisablediscord", autoDisable);
        track = host::WriteSampleTrack(
            plugin.profile() / "media",
            {.fileName = "page.wav", .title = L"Bisque", .artist = L"Cone 6", .seconds = 90});
        plugin.Start();
        Open();
    }
    void Open() {
        for (const auto& page : plugin.windows().Pages()) {
            if (page.name == L"Discord") {
                ASSERT_TRUE(plugin.windows().OpenPage(page.id));
            }
        }
        ASSERT_EQ(plugin.windows().DialogTemplateId(Page()), IDD_PRESENCE);
    }
    Window Page() { return plugin.windows().OpenPageDialog(); }
    host::ControlState Control(int id) {
        return plugin.windows().Control(Page(), id).value_or(host::ControlState{});
    }
    std::string Setting(const wchar_t* key) { return Stored(plugin.settings(), key); }
    // Whether the client (re)connects under `id`: the newest handshake holds it.
    // A restart keeps the attempt schedule of the client before it, so one
    // failed attempt under load can put the next a few seconds off.
    bool Connects(const std::string& id) {
        return plugin.RunUntil(
            [&] {
                const std::vector<Frame> handshakes = discord.FramesWithOpcode(0);
                return !handshakes.empty() && Member(handshakes.back().payload, "/client_id") == id;
            },
            30000);
    }

    PipeFolder pipes;
    FakeDiscord discord{FakeDiscord::Options{pipes.Path(), 0}};
    PluginHost plugin;
    std::filesystem::path track;
};

// How each choice is stored is driven under Wine too.
TEST(PresencePage, IdentityChoicesAreStoredAndRestartTheClient) {
    PageRig rig(0);
    auto& windows = rig.plugin.windows();
    rig.plugin.Play(rig.track, 90);  // before a play there is nothing to show
    EXPECT_TRUE(rig.Connects(kBuiltInApplicationIds[0]));
    EXPECT_TRUE(rig.Control(IDC_PRESENCE_ENABLE).checked);
    ASSERT_TRUE(windows.ClickLink(rig.Page(), IDC_PRESENCE_INTRO, 1));
    EXPECT_EQ(windows.OpenedUrls().back(), std::wstring(kWebBase.begin(), kWebBase.end()) +
                                               L"community/index.php/topic,471.0.html");

    ASSERT_TRUE(windows.SelectCombo(rig.Page(), IDC_PRESENCE_IDENTITY, 1));
    EXPECT_TRUE(rig.Connects(kBuiltInApplicationIds[1]));

    ASSERT_TRUE(windows.SelectCombo(rig.Page(), IDC_PRESENCE_IDENTITY, 3));
    EXPECT_TRUE(rig.Connects(kBuiltInApplicationIds[0]));  // no custom id yet
    ASSERT_TRUE(windows.TypeText(rig.Page(), IDC_PRESENCE_APP_ID, L"123456789012345678"));
    EXPECT_TRUE(rig.Connects("123456789012345678"));

    ASSERT_TRUE(windows.SelectCombo(rig.Page(), IDC_PRESENCE_IDENTITY, 0));
    EXPECT_EQ(rig.Setting(L"discordsel"), "(absent)");
    EXPECT_FALSE(rig.Control(IDC_PRESENCE_APP_ID).enabled);
    EXPECT_EQ(rig.Control(IDC_PRESENCE_APP_ID).text, L"123456789012345678");
    EXPECT_EQ(rig.Setting(L"discord_app_id"), "123456789012345678");
    EXPECT_TRUE(rig.Connects(kBuiltInApplicationIds[0]));
}

TEST(PresencePage, PrefixResetTemplateAndSwitchingOff) {
    PageRig rig(1);
    auto& windows = rig.plugin.windows();
    rig.plugin.Play(rig.track, 90);
    ASSERT_TRUE(rig.plugin.RunUntil([&] { return rig.discord.FramesWithOpcode(1).size() == 1; }));

    // With auto-disable on, a new prefix is stored without a restart.
    ASSERT_TRUE(windows.SelectCombo(rig.Page(), IDC_PRESENCE_PREFIX, 2));
    EXPECT_EQ(rig.Setting(L"discordprefix"), "2");
    rig.plugin.RunFor(300);
    EXPECT_TRUE(rig.discord.ClientConnected());
    EXPECT_EQ(rig.discord.Connections(), 1);

    // Closing with the template unchanged writes nothing.
    windows.ClosePreferences();
    EXPECT_EQ(rig.Setting(L"discord"), "(absent)");

    rig.Open();
    const std::wstring preview = L"\u266B Cone 6 - Bisque \u266B";
    ASSERT_TRUE(
        rig.plugin.RunUntil([&] { return rig.Control(IDC_PRESENCE_PREVIEW).text == preview; }));
    EXPECT_FALSE(rig.Control(IDC_PRESENCE_RESET).enabled);
    ASSERT_TRUE(windows.TypeText(rig.Page(), IDC_PRESENCE_TEMPLATE, L"%title%\r\nC:\\new"));
    EXPECT_EQ(rig.Control(IDC_PRESENCE_PREVIEW).text, L"Bisque\r\nC:\\new");
    EXPECT_TRUE(rig.Control(IDC_PRESENCE_RESET).enabled);
    windows.ClosePreferences();
    EXPECT_EQ(rig.Setting(L"discord"), "%title%\\r\\nC:\\\\new");

    // Reset, answered yes: the default, no key, and the preview follows.
    rig.Open();
    windows.QueueMessageBoxAnswer(platform::kAnswerYes);
    ASSERT_TRUE(windows.ClickButton(rig.Page(), IDC_PRESENCE_RESET));
    EXPECT_EQ(windows.MessageBoxes().back().text, L"Are you sure you want to reset this field?");
    EXPECT_EQ(rig.Control(IDC_PRESENCE_TEMPLATE).text, kDefaultPresenceTemplate);
    EXPECT_EQ(rig.Setting(L"discord"), "(absent)");
    // The preview thread is slow under the sanitizers on a busy machine.
    EXPECT_TRUE(rig.plugin.RunUntil(
        [&] {
            return rig.Control(IDC_PRESENCE_PREVIEW).text == preview &&
                   !rig.Control(IDC_PRESENCE_RESET).enabled;
        },
        20000));

    // Switching updating off takes the presence away at once; nothing follows.
    const size_t sent = rig.discord.FramesWithOpcode(1).size();
    ASSERT_TRUE(windows.ClickButton(rig.Page(), IDC_PRESENCE_ENABLE));
    EXPECT_EQ(rig.Setting(L"updatediscord"), "0");
    EXPECT_TRUE(rig.discord.WaitForDisconnect(std::chrono::seconds(3)));
    rig.plugin.Pause();
    rig.plugin.Resume();
    rig.plugin.RunFor(1000);
    EXPECT_EQ(rig.discord.FramesWithOpcode(1).size(), sent);
    EXPECT_EQ(rig.discord.Connections(), 1);
}

// The one test that sits out the real 15 seconds of the auto-disable: a stop
// arms it, the next item's start disarms it.
TEST(PresencePage, AutoDisableEndsTheConnectionFifteenSecondsAfterAStop) {
    using Clock = std::chrono::steady_clock;
    PageRig rig(1);
    const auto shows = [&rig](const char* look) {
        return rig.plugin.RunUntil([&] {
            const std::vector<Frame> frames = rig.discord.FramesWithOpcode(1);
            return !frames.empty() && Activity(frames.back().payload, "assets/small_image") == look;
        });
    };
    rig.plugin.Play(rig.track, 90);
    ASSERT_TRUE(shows("play"));
    rig.plugin.Stop();
    ASSERT_TRUE(shows("stop"));
    rig.plugin.Play(rig.track, 90);
    ASSERT_TRUE(shows("play"));
    EXPECT_FALSE(rig.plugin.windows().KillTimer(rig.plugin.windows().MainWindow(), 748))
        << "the play start left it pending";

    const Clock::time_point stopped = Clock::now();
    rig.plugin.Stop();
    ASSERT_TRUE(shows("stop"));
    rig.plugin.RunFor(
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             stopped + std::chrono::milliseconds(14500) - Clock::now())
                             .count()));
    EXPECT_TRUE(rig.discord.ClientConnected()) << "shut down before 15 seconds";
    EXPECT_TRUE(rig.plugin.RunUntil([&] { return !rig.discord.ClientConnected(); }, 3000))
        << "not shut down 15 seconds after the stop";
    EXPECT_EQ(rig.discord.Connections(), 1);
}

}  // namespace
}  // namespace kiln::test
