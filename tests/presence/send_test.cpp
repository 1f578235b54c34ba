// Shutdowns of the presence client against sends and uploads on other
// threads, on the modules themselves: the worker's step runs on a thread of
// the test, cover-art callbacks on the host's artwork thread, shutdowns on the
// main thread. Meant to run under the thread sanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_discord.h"
#include "fake_image_cache.h"
#include "host/artwork.h"
#include "host/paths.h"
#include "host/sample_media.h"
#include "host/window_system.h"
#include "module_host.h"
#include "plugin/playback_flags.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/worker.h"
#include "presence/application_ids.h"
#include "presence/presence.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

constexpr unsigned kTimerMessage = 0x0113;

class PresenceSend : public ::testing::Test {
  protected:
    void SetUp() override {
        PresenceModuleHost& module = PresenceModuleHost::Get();
        module.host().UseSystemClock();
        module.host().SetWebBase(cache_.BaseUrl());
        for (uint32_t colour : {0xff993300u, 0xff003399u}) {
            host::SampleSpec recipe;
            recipe.fileName = "guard" + std::to_string(tracks_.size()) + ".wav";
            recipe.title = L"Guard";
            recipe.artist = L"Kiln";
            recipe.seconds = 60;
            recipe.withCover = true;
            recipe.coverColour = colour;
            tracks_.push_back(host::FromFsPath(host::WriteSampleTrack(module.MediaFolder(), recipe)));
        }
        updateDiscord.store(1);
        autoDisableDiscord.store(0);
        discordSel.store(0);
        playbackStarted.store(true);
        hardStopped.store(false);
        ReopenPresence();
        // Each test starts without a cached image, so its first art is new.
        std::error_code ignored;
        std::filesystem::remove(module.host().CacheFolder() / "artcache" / "discord.jpg", ignored);
    }
    void TearDown() override {
        host::DrainArtworkCallbacks();
        ShutdownPresenceForQuit();
        ReopenPresence();
        uploadForDiscord.store(1);
        discordSel.store(0);
        PresenceModuleHost::Get().host().SetWebBase("https://orbit.example/");
    }
    void PlayTrack(size_t index) {
        PresenceModuleHost::Get().host().SetPlayback({1, 1000, tracks_[index % 2], 60});
    }
    std::vector<std::string> HandshakeIds() {
        std::vector<std::string> ids;
        for (const Frame& frame : discord_.FramesWithOpcode(0)) {
            ids.push_back(frame.payload);
        }
        return ids;
    }
    Window MainWindow() { return PresenceModuleHost::Get().host().Windows().MainWindow(); }

    PipeFolder pipes_;
    FakeDiscord discord_{FakeDiscord::Options{pipes_.Path(), 0}};
    // One for the process: the upload endpoint is made once per plug-in life.
    static FakeImageCache& SharedCache() {
        static FakeImageCache* cache = new FakeImageCache;
        return *cache;
    }
    FakeImageCache& cache_ = SharedCache();
    std::vector<std::wstring> tracks_;
};

TEST_F(PresenceSend, ShutdownsDuringSendsAndUploadsNeverOverlapThem) {
    constexpr int kShutdowns = 40;
    constexpr int kMostSends = 300;
    const size_t uploadsBefore = cache_.Uploads().size();
    std::atomic<bool> stop{false};
    std::atomic<int> sends{0};
    std::thread worker([&] {
        for (int i = 0; i < kMostSends && !stop.load(); ++i) {
            PlayTrack(static_cast<size_t>(i));  // new art every time: an upload each
            uploadForDiscord.store(i % 4 != 3 ? 1 : 0);
            RefreshDiscordPresence(nullptr);
            sends.fetch_add(1);
        }
    });
    for (int i = 0; i < kShutdowns; ++i) {
        AutoDisableTimerProc(MainWindow(), kTimerMessage, kPresenceTimerId, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + i % 3));
    }
    stop.store(true);
    worker.join();
    // The queued callbacks go on uploading and sending; shut down among them.
    std::atomic<bool> drained{false};
    std::thread drain([&] {
        host::DrainArtworkCallbacks();
        drained.store(true);
    });
    while (!drained.load()) {
        AutoDisableTimerProc(MainWindow(), kTimerMessage, kPresenceTimerId, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    drain.join();
    EXPECT_GE(sends.load(), 10);
    EXPECT_GE(cache_.Uploads().size() - uploadsBefore, 5u);

    // After quit nothing starts the client again or sends, until reopened.
    ShutdownPresenceForQuit();
    const int connections = discord_.Connections();
    const size_t frames = discord_.FramesWithOpcode(1).size();
    uploadForDiscord.store(0);
    RefreshDiscordPresence(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_FALSE(discord_.ClientConnected());
    EXPECT_EQ(discord_.Connections(), connections);
    EXPECT_EQ(discord_.FramesWithOpcode(1).size(), frames);

    ReopenPresence();
    RefreshDiscordPresence(nullptr);
    EXPECT_TRUE(WaitUntil([&] { return discord_.FramesWithOpcode(1).size() > frames; }, 8000ms));
}

// A cover-art send that is overtaken by a newer presence is dropped: the
// newer one stays what Discord shows.
TEST_F(PresenceSend, ALateCoverArtSendDoesNotReplaceANewerPresence) {
    uploadForDiscord.store(0);
    PlayTrack(0);
    RefreshDiscordPresence(nullptr);
    ASSERT_TRUE(WaitUntil([&] { return discord_.FramesWithOpcode(1).size() == 1; }, 8000ms));

    const size_t arrived = cache_.Arrived();
    cache_.HoldAnswers(true);
    uploadForDiscord.store(1);
    PlayTrack(1);
    RefreshDiscordPresence(nullptr);  // its upload now waits at the server
    ASSERT_TRUE(WaitUntil([&] { return cache_.Arrived() == arrived + 1; }));

    uploadForDiscord.store(0);
    hardStopped.store(true);
    playbackStarted.store(false);
    RefreshDiscordPresence(nullptr);  // the stop, sent at once
    ASSERT_TRUE(WaitUntil([&] { return discord_.FramesWithOpcode(1).size() == 2; }, 5000ms));
    EXPECT_NE(discord_.FramesWithOpcode(1)[1].payload.find("\"small_image\":\"stop\""),
              std::string::npos);

    cache_.HoldAnswers(false);
    host::DrainArtworkCallbacks();
    ASSERT_EQ(cache_.Uploads().size(), arrived + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // a pass of the IO thread
    EXPECT_EQ(discord_.FramesWithOpcode(1).size(), 2u);
}

// The activity type follows the prefix mode and, in mode 1, the item's
// "type"; the video flag is looked up only in mode 1 and kept in the others.
TEST_F(PresenceSend, PrefixModeAndVideoFlagChooseTheActivityType) {
    uploadForDiscord.store(0);
    const wchar_t* video = L"http://video.example/clip.mp4";
    const wchar_t* radio = L"http://radio.example/live";
    struct Case {
        int mode;
        const wchar_t* location;
        const char* type;  // null: no "type" member
        bool flagAfter;
    };
    const Case cases[] = {
        {0, video, "\"type\":2,", false}, {1, video, "\"type\":3,", true},
        {0, radio, "\"type\":2,", true},  {2, radio, nullptr, true},
        {1, radio, "\"type\":2,", false}, {2, video, nullptr, false},
    };
    size_t frames = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + std::string(c.location, c.location + 12));
        discordPrefix.store(c.mode);
        PresenceModuleHost::Get().host().SetPlayback({1, 0, c.location, 0});
        RefreshDiscordPresence(nullptr);
        ASSERT_TRUE(
            WaitUntil([&] { return discord_.FramesWithOpcode(1).size() > frames; }, 8000ms));
        const std::string payload = discord_.FramesWithOpcode(1)[frames++].payload;
        if (c.type) {
            EXPECT_NE(payload.find(std::string(c.type) + "\"instance\":false"), std::string::npos)
                << payload;
        } else {
            EXPECT_EQ(payload.find("\"type\""), std::string::npos) << payload;
        }
        EXPECT_EQ(presenceVideoFlag.load(), c.flagAfter);
    }
    discordPrefix.store(0);
    presenceVideoFlag.store(false);
}

// What the presence page does on a change of identity: the client restarts
// and the worker's refresh connects with the new id.
TEST_F(PresenceSend, RestartTakesTheNewIdentity) {
    uploadForDiscord.store(0);
    PlayTrack(0);
    RefreshDiscordPresence(nullptr);
    ASSERT_TRUE(WaitUntil([&] { return discord_.FramesWithOpcode(1).size() == 1; }, 8000ms));

    discordSel.store(2);
    RestartPresence();
    EXPECT_TRUE(WaitUntil([&] { return discord_.FramesWithOpcode(1).size() == 2; }, 8000ms));
    StopWorkerForQuit();
    ASSERT_EQ(discord_.FramesWithOpcode(0).size(), 2u);
    EXPECT_EQ(discord_.FramesWithOpcode(0)[0].payload,
              std::string(R"({"v":1,"client_id":")") + kBuiltInApplicationIds[0] + "\"}");
    EXPECT_EQ(discord_.FramesWithOpcode(0)[1].payload,
              std::string(R"({"v":1,"client_id":")") + kBuiltInApplicationIds[2] + "\"}");
    EXPECT_EQ(discord_.FramesWithOpcode(1)[1].connection, 2);
}

}  // namespace
}  // namespace kiln::test
