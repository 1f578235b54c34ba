// The presence as a player drives it: the plug-in loaded by the substitute
// host, its client talking to a fake Discord application over a real socket,
// (cover-art uploads are tested on the modules, in send_test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "fake_discord.h"
#include "host/sample_media.h"
#include "presence/application_ids.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "services/paths.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

constexpr int64_t kNow = 1700000000;

// The plug-in loaded with presence updating on, a fake Discord application
// in a private runtime folder, and the messages it got so far.
struct PresenceRig {
    PresenceRig() {
        plugin.host().SetNow(kNow);
        plugin.SetInt(L"updatediscord", 1);
        plugin.SetInt(L"uploadForDiscord", 0);
        plugin.settings().WriteTemplate(L"gen_kiln", L"discord", L"[%artist% - ]%title%");
    }
    // A new item as the player reports it (the worker settles for 750 ms).
    void PlayAt(const std::filesystem::path& file, int positionMs, int lengthSeconds) {
        plugin.host().SetPlayback({1, positionMs, host::FromFsPath(file), lengthSeconds});
        plugin.host().NotifyNewItem();
    }
    // The next SET_ACTIVITY frame after those already taken.
    Frame NextActivity() {
        std::vector<Frame> frames;
        if (!plugin.RunUntil([&] { return (frames = discord.FramesWithOpcode(1)).size() > taken; },
                             5000)) {
            ADD_FAILURE() << "no SET_ACTIVITY frame number " << taken + 1;
            return {};
        }
        return frames[taken++];
    }

    PipeFolder pipes;
    FakeDiscord discord{FakeDiscord::Options{pipes.Path(), 0}};
    PluginHost plugin;
    size_t taken = 0;
};

// Also the one test that waits for the real 15 seconds of the auto-disable.
TEST(PresenceHost, FollowsPlaybackAndShutsDownFifteenSecondsAfterAStop) {
    using Clock = std::chrono::steady_clock;
    PresenceRig rig;
    rig.plugin.SetInt(L"autodisablediscord", 1);
    const auto first =
        host::WriteSampleTrack(rig.plugin.profile() / "media", {.fileName = "first.wav",
                                                                .title = L"First Firing",
                                                                .artist = L"Kiln Quartet",
                                                                .seconds = 200});
    const auto second = host::WriteSampleTrack(
        rig.plugin.profile() / "media",
        {.fileName = "second.wav", .title = L"Glaze", .artist = L"Ash Trio", .seconds = 120});
    rig.plugin.Start();

    int64_t nonce = 0;
    // The next message: on the one connection, with a new nonce, and showing
    // what the step should show.
    auto expect = [&](const char* step, const std::string& details, const std::string& state,
                      const std::string& smallImage, int64_t start = 0, int64_t end = 0) {
        SCOPED_TRACE(step);
        const Frame frame = rig.NextActivity();
        const std::string& m = frame.payload;
        EXPECT_EQ(frame.connection, 1);
        EXPECT_EQ(Member(m, "/cmd"), "SET_ACTIVITY");
        EXPECT_EQ(Member(m, "/args/pid"), std::to_string(::getpid()));
        EXPECT_GT(std::stoll("0" + Member(m, "/nonce")), nonce);
        nonce = std::stoll("0" + Member(m, "/nonce"));
        EXPECT_EQ(Activity(m, "details"), details);
        EXPECT_EQ(Activity(m, "state"), state);
        EXPECT_EQ(Activity(m, "assets/small_image"), smallImage);
        EXPECT_EQ(Activity(m, "assets/large_image"), "logo");
        EXPECT_EQ(Activity(m, "timestamps/start"), start ? std::to_string(start) : "-");
        EXPECT_EQ(Activity(m, "timestamps/end"), end ? std::to_string(end) : "-");
    };
    const std::string one = "Kiln Quartet - First Firing";
    // With auto-disable on, start-up shows nothing: the first is the play's.
    rig.PlayAt(first, 50000, 200);
    expect("play", one, "-", "play", kNow, kNow + 150);
    rig.plugin.Pause();
    expect("pause", one, "Paused", "pause");
    rig.plugin.host().AdvanceClock(40);
    rig.plugin.Resume(80000);
    expect("resume", one, "-", "play", kNow + 40, kNow + 160);
    // Arms the auto-disable timer; the next item's start cancels it.
    rig.plugin.Stop();
    expect("stop", one, "Stopped", "stop");
    rig.plugin.host().AdvanceClock(100);
    rig.PlayAt(second, 0, 120);
    expect("next item", "Ash Trio - Glaze", "-", "play", kNow + 140, kNow + 260);
    Window main = rig.plugin.windows().MainWindow();
    EXPECT_FALSE(rig.plugin.windows().KillTimer(main, 748)) << "the play start left it pending";
    ASSERT_EQ(rig.discord.FramesWithOpcode(0).size(), 1u);
    EXPECT_EQ(Member(rig.discord.FramesWithOpcode(0)[0].payload, "/client_id"),
              kBuiltInApplicationIds[0]);

    const Clock::time_point stopped = Clock::now();
    rig.plugin.Stop();
    expect("stop again", "Ash Trio - Glaze", "Stopped", "stop");
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
