// The presence as a player drives it: the plug-in loaded by the substitute
// host, its client talking to a fake Discord application over a real socket.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/paths.h"
#include "presence/application_ids.h"
#include "presence_rig.h"

namespace kiln::test {
namespace {

TEST(PresenceHost, PlayPauseUnpauseStopAndNextItemAsSent) {
    PresenceRig rig;
    const auto first = rig.Track("first.wav", L"First Firing", L"Kiln Quartet", 200);
    const auto second = rig.Track("second.wav", L"Glaze", L"Ash Trio", 120);
    rig.Start();

    // Start-up refreshes the presence before anything plays.
    ActivityFrame startup = rig.NextActivity();
    EXPECT_EQ(startup.activity, StoppedActivity("").Text());

    rig.PlayAt(first, 50000, 200);
    Activity playing = PlayingActivity("Kiln Quartet - First Firing");
    playing.start = kFixedNow;
    playing.end = kFixedNow + 150;
    ActivityFrame played = rig.NextActivity();
    EXPECT_EQ(played.activity, playing.Text());

    rig.plugin().Pause();
    ActivityFrame pausedFrame = rig.NextActivity();
    EXPECT_EQ(pausedFrame.activity, PausedActivity("Kiln Quartet - First Firing").Text());

    rig.host().AdvanceClock(40);
    rig.plugin().Resume(80000);
    playing.start = kFixedNow + 40;
    playing.end = kFixedNow + 40 + 200 - 80;
    ActivityFrame resumed = rig.NextActivity();
    EXPECT_EQ(resumed.activity, playing.Text());

    rig.plugin().Stop();
    ActivityFrame stopped = rig.NextActivity();
    EXPECT_EQ(stopped.activity, StoppedActivity("Kiln Quartet - First Firing").Text());

    rig.host().AdvanceClock(100);
    rig.PlayAt(second, 0, 120);
    Activity next = PlayingActivity("Ash Trio - Glaze");
    next.start = kFixedNow + 140;
    next.end = kFixedNow + 140 + 120;
    ActivityFrame nextFrame = rig.NextActivity();
    EXPECT_EQ(nextFrame.activity, next.Text());

    // One client throughout, each message with a new nonce.
    const std::vector<ActivityFrame> frames = {startup, played,  pausedFrame,
                                               resumed, stopped, nextFrame};
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(frames[i].nonce, frames[i - 1].nonce);
        EXPECT_EQ(frames[i].connection, 1);
    }
    EXPECT_EQ(rig.HandshakeIds(), std::vector<std::string>{kBuiltInApplicationIds[0]});

    // Quit takes the presence away.
    rig.plugin().Quit();
    EXPECT_TRUE(rig.discord().WaitForDisconnect(5s));
}

TEST(PresenceHost, ThreeLineTemplateFillsDetailsStateAndLargeText) {
    PresenceRig rig(L"%title%\r\n%artist%\r\n%album%");
    rig.host().SetPlayback({0, 0, L"", -1});
    host::SampleSpec recipe;
    recipe.fileName = "three.wav";
    recipe.title = L"Bisque";
    recipe.artist = L"Cone Six";
    recipe.album = L"Reduction";
    recipe.seconds = 90;
    const auto file = host::WriteSampleTrack(rig.plugin().profile() / "media", recipe);
    rig.Start();
    rig.NextActivity();

    rig.PlayAt(file, 0, 90);
    Activity expected = PlayingActivity("Bisque");
    expected.state = "Cone Six";
    expected.largeText = "Reduction";
    expected.start = kFixedNow;
    expected.end = kFixedNow + 90;
    EXPECT_EQ(rig.NextActivity().activity, expected.Text());
}

// The button goes with network streams only. One item starts; the others
// follow as information changes, which refreshes only the presence.
TEST(PresenceHost, StreamButtonOnlyForNetworkStreams) {
    PresenceRig rig(L"'on air'");
    rig.Start();
    rig.NextActivity();
    const auto local = rig.Track("local.wav", L"Local", L"Here", 30);

    struct Case {
        std::wstring location;
        std::string button;
    };
    const Case cases[] = {
        {L"http://radio.example:8000/live", "http://radio.example:8000/live"},
        {L"https://radio.example/hq?x=1&y=2", "https://radio.example/hq?x=1&y=2"},
        {L"cda://D,3", ""},
        {L"CDA://D,4", ""},
        {L"zip://album.zip,01.mp3", ""},
        {host::FromFsPath(local), ""},
        {L"", ""},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.location.begin(), c.location.end()));
        rig.host().SetPlayback({1, 0, c.location, 0});
        if (first) {
            rig.host().NotifyNewItem();
            first = false;
        } else {
            rig.Refresh();
        }
        Activity expected = PlayingActivity("on air");
        expected.buttonUrl = c.button;
        EXPECT_EQ(rig.NextActivity().activity, expected.Text());
    }
}

TEST(PresenceHost, IdentityChoiceDecidesTheApplicationId) {
    struct Case {
        int choice;
        const wchar_t* customId;  // null: not stored
        std::string expected;
    };
    const Case cases[] = {
        {0, nullptr, kBuiltInApplicationIds[0]},
        {1, nullptr, kBuiltInApplicationIds[1]},
        {2, L"123456789012345678", kBuiltInApplicationIds[2]},
        {3, L"123456789012345678", "123456789012345678"},
        {3, L"", kBuiltInApplicationIds[0]},
        {9, nullptr, kBuiltInApplicationIds[0]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("discordsel " + std::to_string(c.choice));
        PresenceRig rig;
        rig.plugin().SetInt(L"discordsel", c.choice);
        if (c.customId) {
            rig.plugin().SetText(L"discord_app_id", c.customId);
        }
        rig.Start();
        rig.NextActivity();
        EXPECT_EQ(rig.HandshakeIds(), std::vector<std::string>{c.expected});
    }
}

TEST(PresenceHost, UpdatingOffTouchesNothing) {
    PresenceRig rig;
    rig.plugin().SetInt(L"updatediscord", 0);
    rig.plugin().SetInt(L"autodisablediscord", 1);
    rig.plugin().SetInt(L"logging_on", 1);  // keeps the worker running the events
    const auto file = rig.Track("off.wav", L"Off", L"Nobody", 60);
    rig.Start();
    rig.PlayAt(file, 0, 60);
    auto historyWritten = [&] {
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::directory_iterator(rig.plugin().LogsFolder(), ignored)) {
            if (ReadFileBytes(entry.path()).find("Off") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(rig.plugin().RunUntil(historyWritten, 5000));
    rig.plugin().Stop();
    rig.plugin().Pause();
    rig.Refresh();
    EXPECT_TRUE(rig.NoFurtherActivity(700ms));
    EXPECT_EQ(rig.discord().Connections(), 0);
    EXPECT_FALSE(rig.plugin().windows().KillTimer(rig.plugin().windows().MainWindow(), 748))
        << "the auto-disable timer was started";
}

// The one test that waits for the real 15 seconds.
TEST(PresenceHost, AutoDisableShutsDownFifteenSecondsAfterAStopUnlessPlayResumes) {
    using Clock = std::chrono::steady_clock;
    PresenceRig rig;
    rig.plugin().SetInt(L"autodisablediscord", 1);
    const auto a = rig.Track("a.wav", L"A", L"One", 100);
    const auto b = rig.Track("b.wav", L"B", L"Two", 100);
    rig.Start();

    rig.PlayAt(a, 0, 100);
    rig.NextActivity();
    rig.plugin().Stop();
    EXPECT_EQ(rig.NextActivity().activity, StoppedActivity("One - A").Text());
    // The worker arms the timer before it sends, so it is pending by now.
    const Clock::time_point firstStop = Clock::now();

    // A play start within the 15 seconds cancels the pending shutdown.
    rig.PlayAt(b, 0, 100);
    rig.NextActivity();
    rig.plugin().RunFor(1000);
    rig.plugin().Stop();
    EXPECT_EQ(rig.NextActivity().activity, StoppedActivity("Two - B").Text());

    rig.plugin().RunUntil([] { return false; },
                          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               firstStop + 15500ms - Clock::now())
                                               .count()));
    EXPECT_TRUE(rig.discord().ClientConnected()) << "the first stop's timer still fired";

    // The second stop's timer does fire.
    EXPECT_TRUE(rig.plugin().RunUntil([&] { return !rig.discord().ClientConnected(); }, 5000));
    EXPECT_EQ(rig.discord().Connections(), 1);

    // The next send starts the client again.
    rig.PlayAt(a, 0, 100);
    ActivityFrame again = rig.NextActivity(8000ms);
    EXPECT_EQ(again.connection, 2);
}

}  // namespace
}  // namespace kiln::test
