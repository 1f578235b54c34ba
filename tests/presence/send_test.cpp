// Sends on the modules themselves, to the fake Discord application and the
// fake image cache: the worker's step runs on a thread of the test, cover-art
// callbacks on the host's artwork thread, shutdowns on the main thread. Meant
// to run under the thread sanitizer as well.
#include <gtest/gtest.h>

#include <stb/stb_image.h>

#include <atomic>
#include <map>
#include <thread>

#include "core/wide_format.h"
#include "fake_discord.h"
#include "fake_image_cache.h"
#include "host/sample_media.h"
#include "host/window_system.h"
#include "plugin/playback_flags.h"
#include "plugin/settings.h"
#include "plugin/worker.h"
#include "presence/client_guard.h"
#include "presence/cover_art.h"
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
        host().SetNow(kNow);
        host().SetWebBase(cache_.BaseUrl());
        // Two small covers, a large one and none.
        for (uint32_t colour : {0xff993300u, 0xff003399u, 0u, 0xff339900u}) {
            const bool large = colour == 0xff003399u;  // fitted into 600 x 600
            tracks_.push_back(host::FromFsPath(host::WriteSampleTrack(
                ModuleHost::Get().MediaFolder(),
                {.fileName = "send" + std::to_string(tracks_.size()) + ".wav",
                 .seconds = 60,
                 .withCover = colour != 0,
                 .coverColour = colour,
                 .coverWidth = large ? 900 : 64,
                 .coverHeight = large ? 300 : 64})));
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
        discordPrefix.store(0);
        presenceVideoFlag.store(false);
        cache_.HoldAnswers(false);
        cache_.AnswerCreated(true);
        host().SetWebAvailable(true);
        host().UseSystemClock();
    }

    host::SubstituteHost& host() { return ModuleHost::Get().host(); }
    std::filesystem::path CachedFile() { return host().CacheFolder() / "artcache" / "discord.jpg"; }
    std::string Setting(const wchar_t* key) { return Stored(host().Settings(), key); }
    void Play(size_t track) { host().SetPlayback({1, 1000, tracks_[track], 60}); }
    // The worker's step, and the SET_ACTIVITY message it brought about. The
    // clock moves on by a pacing window first, so that every step is sent.
    std::string Send() {
        host().AdvanceClock(presence_ipc::kPacingWindowSeconds);
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
    // The presence once the cover-art step is done with the item: the last
    // message, once the client has sent what it holds.
    std::string Settled() {
        EXPECT_TRUE(WaitUntil([] { return CoverArtJobsInFlight() == 0; }, 15s));
        auto afterNonce = [](const std::string& text) { return text.substr(text.find(',') + 1); };
        std::vector<Frame> frames;
        EXPECT_TRUE(WaitUntil([&] {
            AttemptNow();
            std::string slot;
            {
                presence_ipc::PresenceClient& c = presence_ipc::Client();
                std::lock_guard<Mutex> lock(c.presenceLock);
                slot.assign(c.slot.text, c.slot.length);
            }
            frames = discord_.FramesWithOpcode(1);
            return !frames.empty() && afterNonce(frames.back().payload) == afterNonce(slot);
        }));
        taken_ = frames.size();
        return frames.empty() ? "" : frames.back().payload;
    }
    std::string SendSettled() {
        host().AdvanceClock(presence_ipc::kPacingWindowSeconds);
        RefreshDiscordPresence(nullptr);
        return Settled();
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
    const size_t arrivedBefore = cache_.Arrived();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 40; ++i) {
            Play(i % 2 == 0 ? 0 : 3);  // new art every time: an upload each
            // An upload overtaken by the next item counts as failed; a minute
            // on, its image is offered again.
            host().AdvanceClock(61);
            uploadForDiscord.store(i % 4 != 3 ? 1 : 0);
            const size_t arrived = cache_.Arrived();
            RefreshDiscordPresence(nullptr);
            // Until its upload is under way, unless a shutdown overtook it.
            WaitUntil([&] { return cache_.Arrived() > arrived; }, 50ms);
        }
        done.store(true);
    });
    for (int i = 0; !done.load(); ++i) {
        Shutdown();
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + i % 3 * 20));
    }
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
    EXPECT_GE(cache_.Arrived() - arrivedBefore, 5u) << "the race above was not run";

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

// An image host that never answers, events 2 to 13 s apart: each presence
// goes out at once rather than after the upload's time-out, the last state is
// the one left shown, an image whose upload failed is not offered again
// within the minute, and quit does not wait for the transfer.
TEST_F(PresenceSend, AHangingImageHostDelaysNothing) {
    cache_.HoldAnswers(true);
    uploadForDiscord.store(1);
    const size_t arrived = cache_.Arrived();
    const size_t answered = cache_.Uploads().size();
    struct Event {
        const char* name;
        int gap, status;  // 0 stopped, 1 playing, 3 paused
        size_t track;
        const char* look;
        size_t uploads;  // arrived at the host by then
    };
    const Event events[] = {
        {"play A", 0, 1, 0, "play", 1},    {"pause", 5, 3, 0, "pause", 1},
        {"resume", 6, 1, 0, "play", 1},    {"skip to B", 13, 1, 3, "play", 2},
        {"back to A", 2, 1, 0, "play", 2}, {"stop", 3, 0, 0, "stop", 2},
    };
    for (const Event& e : events) {
        SCOPED_TRACE(e.name);
        host().AdvanceClock(e.gap);
        playbackStarted.store(e.status != 0);
        hardStopped.store(e.status == 0);
        host().SetPlayback({e.status, 30000, tracks_[e.track], 60});
        const size_t before = discord_.FramesWithOpcode(1).size();
        RefreshDiscordPresence(nullptr);
        std::string shown;
        EXPECT_TRUE(WaitUntil(
            [&] {
                AttemptNow();
                const std::vector<Frame> frames = discord_.FramesWithOpcode(1);
                shown = frames.size() > before ? frames.back().payload : "";
                return !shown.empty();
            },
            1000ms))
            << "not sent within a second";
        EXPECT_EQ(Activity(shown, "assets/small_image"), e.look);
        EXPECT_EQ(Activity(shown, "assets/large_image"), "logo");
        EXPECT_TRUE(WaitUntil([&] { return cache_.Arrived() == arrived + e.uploads; }));
    }
    EXPECT_EQ(Activity(Settled(), "assets/small_image"), "stop");
    EXPECT_EQ(cache_.Arrived(), arrived + 2) << "A offered again within the minute";

    // B, offered again a minute later, stays held (for ten seconds): quit
    // does not wait for it.
    host().AdvanceClock(60);
    hardStopped.store(false);
    playbackStarted.store(true);
    Play(3);
    RefreshDiscordPresence(nullptr);
    ASSERT_TRUE(WaitUntil([&] { return cache_.Arrived() == arrived + 3; }));
    ShutdownPresenceForQuit();
    EXPECT_EQ(cache_.Uploads().size(), answered) << "waited for the upload";
}

// Before anything plays there is nothing to show: no connection, no frame.
// An item that goes away takes the shown presence with it.
TEST_F(PresenceSend, NothingBeforeAPlayAndAVanishedItemIsCleared) {
    playbackStarted.store(false);
    hardStopped.store(true);
    host().SetPlayback({0, 0, tracks_[0], 60});  // loaded, never played
    RefreshDiscordPresence(nullptr);
    EXPECT_FALSE(presence_ipc::Client().channelExists.load());
    EXPECT_EQ(discord_.Connections(), 0);

    playbackStarted.store(true);
    hardStopped.store(false);
    Play(0);
    EXPECT_EQ(Activity(Send(), "assets/small_image"), "play");
    playbackStarted.store(false);
    hardStopped.store(true);
    host().SetPlayback({0, 0, L"", 0});
    const std::string cleared = Send();
    EXPECT_EQ(Member(cleared, "/cmd"), "SET_ACTIVITY");
    EXPECT_EQ(Member(cleared, "/args/activity"), "-");
    EXPECT_NE(Member(cleared, "/args/pid"), "-");
}

// Tag values arrive as tagged, backslashes and all; Discord's refusal reaches
// the plug-in's error handler.
TEST_F(PresenceSend, TextsArriveAsTaggedAndARefusalIsReported) {
    const std::wstring track = host::FromFsPath(
        host::WriteSampleTrack(ModuleHost::Get().MediaFolder(), {.fileName = "titled.wav",
                                                                 .title = L"back\\slash \\s",
                                                                 .artist = L"C:\\new\\tab\\t",
                                                                 .seconds = 60}));
    CopyWide(presenceTemplate, kLineChars, L"%title%\r\n%artist%");
    host().SetPlayback({1, 0, track, 60});
    const std::string message = Send();
    EXPECT_EQ(Activity(message, "details"), "back\\slash \\s");
    EXPECT_EQ(Activity(message, "state"), "C:\\new\\tab\\t");
    CopyWide(presenceTemplate, kLineChars, kDefaultPresenceTemplate);

    // A refusal reaches the plug-in's error handler with the next send.
    const uint64_t errors = LastPresenceError().count;
    discord_.Send(1,
                  "{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"code\":4000,\"message\":\"too short\"},"
                  "\"evt\":\"ERROR\",\"nonce\":\"" +
                      Member(message, "/nonce") + "\"}");
    ASSERT_TRUE(WaitWaking([] { return presence_ipc::Client().errorReceived.load(); }));
    Send();
    EXPECT_EQ(LastPresenceError().count, errors + 1);
    EXPECT_EQ(LastPresenceError().code, 4000);
    EXPECT_EQ(LastPresenceError().message, "too short");
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

// The art is uploaded when it differs from the cached file, and its address
// shown; without art or without an upload, the logo.
TEST_F(PresenceSend, CoverArtIsUploadedOnceUntilItChanges) {
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
        // An image that just failed is not offered again for the next event.
        {"not offered again", 0, true, true, true, false, false, "untouched"},
        {"no request handle", 1, true, false, true, false, false, "err:0"},
        {"offered again a minute later", 0, true, true, true, true, true, "(absent)"},
        {"upload off", 1, true, true, false, false, false, "untouched"},
    };
    const size_t firstUpload = cache_.Uploads().size();
    std::map<size_t, std::string> addressOf;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        cache_.AnswerCreated(s.created);
        host().SetWebAvailable(s.web);
        uploadForDiscord.store(s.upload ? 1 : 0);
        host().Settings().WriteText(L"gen_kiln", L"discord_response", L"untouched");
        const size_t before = cache_.Uploads().size();
        Play(s.track);
        if (std::string(s.name).find("minute") != std::string::npos) {
            host().AdvanceClock(60);
        }
        const std::string image = Activity(SendSettled(), "assets/large_image");
        const std::string uid = Setting(L"discord_uid");
        if (s.shown) {
            // One address per image, whenever it is shown.
            EXPECT_EQ(image.rfind(cache_.BaseUrl() + "discord/cache/" + uid + ".jpg?", 0), 0u)
                << image;
            EXPECT_EQ(addressOf.emplace(s.track, image).first->second, image);
        } else {
            EXPECT_EQ(image, "logo");
        }
        EXPECT_EQ(cache_.Uploads().size(), before + (s.uploaded ? 1 : 0));
        EXPECT_EQ(Setting(L"discord_response"), s.response);
        if (s.upload) {
            // A failed upload forgets the image, so that it is offered again.
            EXPECT_EQ(std::filesystem::exists(CachedFile()), s.shown);
        }
    }
    // Fetched at the play's start, the cover goes with the first presence.
    uploadForDiscord.store(1);
    Play(1);
    PrefetchPresenceCover();
    ASSERT_TRUE(WaitUntil([] { return CoverArtJobsInFlight() == 0; }));
    EXPECT_EQ(Activity(Send(), "assets/large_image"), addressOf[1]);

    // The other art's upload: under the identity shown, the cached JPEG fitted
    // into 600 x 600.
    const auto [uid, image] = cache_.Uploads().at(firstUpload + 1);
    EXPECT_EQ(uid, Setting(L"discord_uid"));
    int width = 0, height = 0, channels = 0;
    ASSERT_TRUE(stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(image.data()),
                                      static_cast<int>(image.size()), &width, &height, &channels));
    EXPECT_EQ(image.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(width, 600);
    EXPECT_EQ(height, 200);
}

}  // namespace
}  // namespace kiln::test
