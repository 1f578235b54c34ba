// Sends on the modules themselves, to the fake Discord application and the
// fake image cache: the worker's step runs on a thread of the test, cover-art
// callbacks on the host's artwork thread, shutdowns on the main thread. Meant
// to run under the thread sanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_discord.h"
#include "fake_image_cache.h"
#include "host/sample_media.h"
#include "host/window_system.h"
#include "plugin/playback_flags.h"
#include "plugin/settings.h"
#include "plugin/worker.h"
#include "presence/application_ids.h"
#include "presence/presence.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "services/artwork.h"
#include "services/paths.h"
#include "support/module_host.h"

namespace kiln::test {
namespace {

constexpr unsigned kTimerMessage = 0x0113;
constexpr int64_t kNow = 1700000000;

class PresenceSend : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Stored before the settings' one load, so that the worker, which
        // loads them when it starts, keeps presence updating on.
        ModuleHost::Get().host().Settings().WriteInt(L"gen_kiln", L"updatediscord", 1);
        LoadSettings();
    }
    void SetUp() override {
        host().UseSystemClock();
        host().SetWebBase(cache_.BaseUrl());
        for (uint32_t colour : {0xff993300u, 0xff003399u, 0u}) {  // two covers and none
            host::SampleSpec recipe{.fileName = "send" + std::to_string(tracks_.size()) + ".wav",
                                    .seconds = 60};
            recipe.withCover = colour != 0;
            recipe.coverColour = colour;
            tracks_.push_back(
                host::FromFsPath(host::WriteSampleTrack(ModuleHost::Get().MediaFolder(), recipe)));
        }
        updateDiscord.store(1);
        uploadForDiscord.store(0);
        playbackStarted.store(true);
        hardStopped.store(false);
        ReopenPresence();
        // Each test starts without a cached image, so its first art is new.
        std::filesystem::remove(CachedFile());
    }
    void TearDown() override {
        host::DrainArtworkCallbacks();
        ShutdownPresenceForQuit();
        ReopenPresence();
        discordSel.store(0);
        discordPrefix.store(0);
        autoDisableDiscord.store(0);
        presenceVideoFlag.store(false);
        cache_.AnswerCreated(true);
        host().SetWebAvailable(true);
        host().UseSystemClock();
    }

    host::SubstituteHost& host() { return ModuleHost::Get().host(); }
    std::filesystem::path CachedFile() { return host().CacheFolder() / "artcache" / "discord.jpg"; }
    std::string Setting(const wchar_t* key) { return Stored(host().Settings(), key); }
    void Play(size_t track) { host().SetPlayback({1, 1000, tracks_[track], 60}); }
    // The worker's step, and the SET_ACTIVITY message it brought about.
    std::string Send() {
        RefreshDiscordPresence(nullptr);
        return NextActivity();
    }
    // Waits for the next SET_ACTIVITY message, moving connection attempts to
    // now rather than sitting out the client's back-off.
    std::string NextActivity() {
        std::vector<Frame> frames;
        if (!WaitUntil([&] {
                AttemptNow();
                frames = discord_.FramesWithOpcode(1);
                return frames.size() > taken_;
            })) {
            ADD_FAILURE() << "no SET_ACTIVITY message number " << taken_ + 1;
            return "";
        }
        return frames[taken_++].payload;
    }
    void Shutdown() {
        AutoDisableTimerProc(host().Windows().MainWindow(), kTimerMessage, kPresenceTimerId, 0);
    }

    PipeFolder pipes_;
    FakeDiscord discord_{FakeDiscord::Options{pipes_.Path(), 0}};
    // One for the process: the upload endpoint is made once per plug-in life.
    static FakeImageCache& SharedCache() {
        static FakeImageCache* cache = new FakeImageCache;
        return *cache;
    }
    FakeImageCache& cache_ = SharedCache();
    std::vector<std::wstring> tracks_;
    size_t taken_ = 0;
};

TEST_F(PresenceSend, ShutdownsDuringSendsAndUploadsNeverOverlapThem) {
    const size_t uploadsBefore = cache_.Uploads().size();
    std::atomic<bool> stop{false};
    std::atomic<int> sends{0};
    std::thread worker([&] {
        for (int i = 0; i < 300 && !stop.load(); ++i) {
            Play(static_cast<size_t>(i % 2));  // new art every time: an upload each
            uploadForDiscord.store(i % 4 != 3 ? 1 : 0);
            RefreshDiscordPresence(nullptr);
            sends.fetch_add(1);
        }
    });
    for (int i = 0; i < 40; ++i) {
        Shutdown();
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
        Shutdown();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    drain.join();
    // Else the race above was not run.
    EXPECT_GE(sends.load(), 10);
    EXPECT_GE(cache_.Uploads().size() - uploadsBefore, 5u);

    // After quit nothing starts the client again or sends, until reopened.
    ShutdownPresenceForQuit();
    ASSERT_TRUE(discord_.WaitForDisconnect(5s));  // and so has read all that was sent
    const size_t frames = discord_.FramesWithOpcode(1).size();
    uploadForDiscord.store(0);
    RefreshDiscordPresence(nullptr);
    EXPECT_FALSE(presence_ipc::Client().channelExists.load());
    EXPECT_EQ(discord_.FramesWithOpcode(1).size(), frames);

    ReopenPresence();
    taken_ = frames;
    EXPECT_EQ(Activity(Send(), "assets/small_image"), "play");
}

// A cover-art send that is overtaken by a newer presence or by a shutdown
// is dropped: the newer presence stays what Discord shows, and the client
// stays down.
TEST_F(PresenceSend, ALateCoverArtSendIsDropped) {
    Play(0);
    Send();
    const size_t arrived = cache_.Arrived();
    cache_.HoldAnswers(true);
    uploadForDiscord.store(1);
    Play(1);
    RefreshDiscordPresence(nullptr);  // its upload now waits at the server
    ASSERT_TRUE(WaitUntil([&] { return cache_.Arrived() == arrived + 1; }));

    uploadForDiscord.store(0);
    hardStopped.store(true);
    playbackStarted.store(false);
    EXPECT_EQ(Activity(Send(), "assets/small_image"), "stop");

    cache_.HoldAnswers(false);
    host::DrainArtworkCallbacks();
    ASSERT_EQ(cache_.Uploads().size(), arrived + 1);
    // A late send would go out in a whole pass after the drain, before the
    // next presence.
    const uint64_t passes = PassesCompleted();
    ASSERT_TRUE(WaitUntil([&] {
        AttemptNow();
        return PassesCompleted() > passes + 1;
    }));
    playbackStarted.store(true);
    hardStopped.store(false);
    Play(0);
    EXPECT_EQ(Activity(Send(), "assets/large_image"), "logo");

    cache_.HoldAnswers(true);
    uploadForDiscord.store(1);
    RefreshDiscordPresence(nullptr);  // other art than the last upload's
    ASSERT_TRUE(WaitUntil([&] { return cache_.Arrived() == arrived + 2; }));
    Shutdown();
    cache_.HoldAnswers(false);
    host::DrainArtworkCallbacks();
    EXPECT_EQ(cache_.Uploads().size(), arrived + 2);
    EXPECT_FALSE(presence_ipc::Client().channelExists.load());
    EXPECT_FALSE(presence_ipc::Client().activityPending.load()) << "left for the next start";
    EXPECT_EQ(discord_.FramesWithOpcode(1).size(), 3u);
}

// The activity type follows the prefix mode and, in mode 1, the item's
// "type" (the video flag, kept as it is in the other modes); the button goes
// with network streams only.
TEST_F(PresenceSend, ActivityTypeAndButtonFollowTheItem) {
    const std::wstring video = L"http://video.example/clip.mp4";
    const std::wstring radio = L"http://radio.example:8000/live";
    struct Case {
        int mode;
        std::wstring location;
        std::string type;  // "-": no "type" member
        bool flagAfter;
        std::string button;
    };
    const Case cases[] = {
        {1, video, "3", true, "http://video.example/clip.mp4"},
        {0, radio, "2", true, "http://radio.example:8000/live"},
        {2, radio, "-", true, "http://radio.example:8000/live"},
        {1, radio, "2", false, "http://radio.example:8000/live"},
        {0, L"CDA://D,4", "2", false, "-"},
        {0, L"zip://album.zip,01.mp3", "2", false, "-"},
        {0, tracks_[0], "2", false, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + host::ToFsPath(c.location).string());
        discordPrefix.store(c.mode);
        host().SetPlayback({1, 0, c.location, 0});
        const std::string message = Send();
        EXPECT_EQ(Activity(message, "type"), c.type);
        EXPECT_EQ(Activity(message, "buttons/0/url"), c.button);
        EXPECT_EQ(presenceVideoFlag.load(), c.flagAfter);
    }
}

// What the presence page does on a change of identity: the client restarts
// and the worker's refresh connects with the then chosen id.
TEST_F(PresenceSend, RestartConnectsWithTheChosenIdentity) {
    Play(0);
    Send();
    struct Case {
        int choice;
        const wchar_t* customId;
        std::string expected;
    };
    const Case cases[] = {
        {2, L"123456789012345678", kBuiltInApplicationIds[2]},
        {3, L"123456789012345678", "123456789012345678"},
        {3, L"", kBuiltInApplicationIds[0]},
        {9, L"", kBuiltInApplicationIds[0]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.choice);
        discordSel.store(c.choice);
        host().Settings().WriteText(L"gen_kiln", L"discord_app_id", c.customId);
        RestartPresence();
        NextActivity();
        EXPECT_EQ(Member(discord_.FramesWithOpcode(0).back().payload, "/client_id"), c.expected);
    }
    StopWorkerForQuit();
    EXPECT_EQ(discord_.FramesWithOpcode(0).size(), 5u);
}

TEST_F(PresenceSend, UpdatingOffTouchesNothing) {
    updateDiscord.store(0);
    autoDisableDiscord.store(1);
    hardStopped.store(true);
    playbackStarted.store(false);
    RefreshDiscordPresence(nullptr);
    EXPECT_FALSE(presence_ipc::Client().channelExists.load());
    EXPECT_FALSE(host().Windows().KillTimer(host().Windows().MainWindow(), kPresenceTimerId))
        << "the auto-disable timer was started";
}

// The art is uploaded when it differs from the cached file, and its address
// shown; without art or without an upload, the logo.
TEST_F(PresenceSend, CoverArtIsUploadedOnceUntilItChanges) {
    host().SetNow(kNow);
    uploadForDiscord.store(1);
    struct Step {
        const char* name;
        size_t track;  // 2: without art
        bool created, web, upload;
        bool uploaded;  // a new upload arrived
        bool shown;     // else the logo
        std::string response;
    };
    const Step steps[] = {
        {"new art", 0, true, true, true, true, true, "(absent)"},
        {"the same art", 0, true, true, true, false, true, "untouched"},
        {"other art", 1, true, true, true, true, true, "(absent)"},
        {"no art", 2, true, true, true, false, false, "untouched"},
        {"answered 200", 0, false, true, true, true, false, "0,200,<empty>"},
        {"no request handle", 0, true, false, true, false, false, "err:0"},
        {"offered again", 0, true, true, true, true, true, "(absent)"},
        {"upload off", 1, true, true, false, false, false, "untouched"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        cache_.AnswerCreated(s.created);
        host().SetWebAvailable(s.web);
        uploadForDiscord.store(s.upload ? 1 : 0);
        host().Settings().WriteText(L"gen_kiln", L"discord_response", L"untouched");
        const size_t before = cache_.Uploads().size();
        Play(s.track);
        const std::string image = Activity(Send(), "assets/large_image");
        const std::string uid = Setting(L"discord_uid");
        EXPECT_EQ(image,
                  s.shown ? cache_.BaseUrl() + "discord/cache/" + uid + ".jpg?1700000000" : "logo");
        EXPECT_EQ(cache_.Uploads().size(), before + (s.uploaded ? 1 : 0));
        EXPECT_EQ(Setting(L"discord_response"), s.response);
        if (s.upload) {
            // A failed upload forgets the image, so that it is offered again.
            EXPECT_EQ(std::filesystem::exists(CachedFile()), s.shown);
        }
    }
}

}  // namespace
}  // namespace kiln::test
