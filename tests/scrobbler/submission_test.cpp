// Scrobbling as a player drives it: now-playing updates, the scrobble timer,
// submissions, the cache of unsent plays and the status the user sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scrobbler_support.h"

namespace kiln::test {
namespace {

using Names = std::vector<std::string>;

const std::wstring kScrobbled = L"Currently playing item was scrobbled.\n\nPlaying: ";
const std::wstring kWillBeScrobbled =
    L"Currently playing item will be scrobbled once enough of it has played & the required "
    L"metadata is available.\n\nPlaying: ";

std::vector<int64_t> Timestamps(const std::vector<ScrobbledTrack>& tracks) {
    std::vector<int64_t> times;
    for (const auto& track : tracks) {
        times.push_back(track.timestamp);
    }
    return times;
}

TEST(Scrobbling, NowPlayingUpdateThenOneSubmissionOfTheCacheAndTheCurrentPlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    auto cached =
        WriteTrack(scrobbler.Media(), {"condor.wav", L"El C\u00F3ndor Pasa", L"Simon & Garfunkel",
                                       L"Bridge over Troubled Water", L"Various Artists", 2, 60});
    // An album artist equal to the artist is not sent.
    auto current = WriteTrack(scrobbler.Media(),
                              {"believe.wav", L"Believe", L"Cher", L"Believe", L"Cher", 3, 200});
    scrobbler.WriteCache(CacheLine(kStartTime - 1000, cached));
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 100);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() == 2; }));
    scrobbler.WaitForStatus(kScrobbled + L"Cher - Believe");

    auto updates = fake.Requests("track.updateNowPlaying");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].bodyNames, (Names{"album", "api_key", "artist", "duration", "method", "sk",
                                           "track", "trackNumber", "api_sig"}));
    EXPECT_TRUE(updates[0].signatureValid);

    auto submissions = fake.Requests("track.scrobble");
    ASSERT_EQ(submissions.size(), 1u);
    // Plain byte order of the names: capitals before "[", "[" before letters.
    EXPECT_EQ(submissions[0].bodyNames,
              (Names{"albumArtist[0]", "album[0]", "album[1]", "api_key", "artist[0]", "artist[1]",
                     "duration[0]", "duration[1]", "method", "sk", "timestamp[0]", "timestamp[1]",
                     "trackNumber[0]", "trackNumber[1]", "track[0]", "track[1]", "api_sig"}));
    EXPECT_TRUE(submissions[0].signatureValid);
    EXPECT_EQ(submissions[0].Param("duration[1]") + "/" + submissions[0].Param("trackNumber[1]"),
              "200/3");
    auto tracks = fake.Scrobbles();
    EXPECT_EQ(tracks[0].artist + "|" + tracks[0].track + "|" + tracks[0].albumArtist,
              "Simon & Garfunkel|El C\xC3\xB3ndor Pasa|Various Artists");
    EXPECT_EQ(tracks[1].artist + "|" + tracks[1].track, "Cher|Believe");
    EXPECT_EQ(Timestamps(tracks), (std::vector<int64_t>{kStartTime - 1000, kStartTime}));
    EXPECT_TRUE(scrobbler.plugin().RunUntil(
        [&] { return !std::filesystem::exists(scrobbler.CacheFile()); }));
}

TEST(ScrobbleTimer, PausesCountOnlyTimePlayedAndAPlayIsSubmittedOnce) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto item = WriteTrack(scrobbler.Media(), {"long.wav", L"Long", L"Pauser", L"", L"", 0, 600});
    scrobbler.plugin().Play(item);
    ASSERT_TRUE(scrobbler.WaitForStatus(kWillBeScrobbled + L"Pauser - Long"));
    scrobbler.host().AdvanceClock(100);
    scrobbler.plugin().Pause();
    scrobbler.host().AdvanceClock(200);  // time spent paused does not count
    // The worker is held as it arms the timer again, so the clock moves first:
    // 240 s of playing less 100 s before the pause less 139 s leave 1 s.
    scrobbler.host().StallService(host::StalledService::Clock);
    scrobbler.plugin().Resume();
    EXPECT_TRUE(scrobbler.host().WaitUntilStalled());
    scrobbler.host().AdvanceClock(139);
    scrobbler.host().Unstall();
    scrobbler.plugin().RunFor(500);
    EXPECT_TRUE(fake.Scrobbles().empty());
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() == 1; }, 3000));
    EXPECT_EQ(fake.Scrobbles()[0].timestamp, kStartTime);

    // Paused in the same second as the submission and resumed: not again.
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    EXPECT_EQ(fake.Scrobbles().size(), 1u);
}

TEST(ScrobbleTimer, ADuePlayKeepsItsFileAndStartWhenTheNextItemIsHandledFirst) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto due = WriteTrack(scrobbler.Media(), {"due.wav", L"Due", L"Held", L"", L"", 0, 200});
    auto next = WriteTrack(scrobbler.Media(), {"next.wav", L"Next", L"Held", L"", L"", 0, 200});
    // The worker is held in the status text it sets after arming the timer.
    scrobbler.host().StallService(host::StalledService::TitleFormatting);
    scrobbler.PlayAndAdvance(due, 100);
    EXPECT_TRUE(scrobbler.host().WaitUntilStalled());
    scrobbler.plugin().RunFor(200);  // the timer fires meanwhile
    scrobbler.plugin().Play(next);
    scrobbler.host().Unstall();
    scrobbler.host().AdvanceClock(100);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() >= 2; }));
    scrobbler.plugin().RunFor(300);
    auto tracks = fake.Scrobbles();
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].track + "|" + tracks[1].track, "Due|Next");
    EXPECT_EQ(Timestamps(tracks), (std::vector<int64_t>{kStartTime, kStartTime + 100}));
}

TEST(ScrobbleTimer, ASlowNowPlayingReplyArmsNothingForAPlaySkippedMeanwhile) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    scrobbler.Start();
    auto skipped =
        WriteTrack(scrobbler.Media(), {"skip.wav", L"Skipped", L"Slow", L"", L"", 0, 200});
    auto next = WriteTrack(scrobbler.Media(), {"next.wav", L"Next", L"Slow", L"", L"", 0, 200});
    fake.FailNext(
        {.kind = Fault::Kind::Slow, .delayMs = 1500, .onlyMethod = "track.updateNowPlaying"});
    scrobbler.plugin().Play(skipped);
    scrobbler.plugin().RunFor(1000);  // the update is on its way
    scrobbler.host().AdvanceClock(10);
    scrobbler.PlayAndAdvance(next, 100);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return !fake.Scrobbles().empty(); }));
    scrobbler.plugin().RunFor(500);
    auto tracks = fake.Scrobbles();
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].track, "Next");
    EXPECT_EQ(tracks[0].timestamp, kStartTime + 10);
    EXPECT_EQ(fake.Requests("track.updateNowPlaying").size(), 2u);
}

TEST(ScrobbleCache, LongCacheSendsFiftyAndKeepsTheRestWithTheCurrentPlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto cached =
        WriteTrack(scrobbler.Media(), {"cached.wav", L"Cached", L"Backlog", L"", L"", 0, 60});
    auto current = WriteTrack(scrobbler.Media(), {"now.wav", L"Now", L"Backlog", L"", L"", 0, 60});
    std::string lines, kept;
    std::vector<int64_t> sent;
    for (int i = 1; i <= 120; ++i) {
        lines += CacheLine(kStartTime - 10000 + i, cached);
        if (i <= 50) {
            sent.push_back(kStartTime - 10000 + i);
        } else {
            kept += CacheLine(kStartTime - 10000 + i, cached);
        }
    }
    scrobbler.WriteCache(lines);
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Backlog - Cached"));
    EXPECT_EQ(Timestamps(fake.Scrobbles()), sent);
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 1u);
    // The status comes before the cache is rewritten.
    EXPECT_TRUE(scrobbler.plugin().RunUntil([&] {
        return scrobbler.CacheBytes() == kept + CacheLine(kStartTime, current);
    })) << scrobbler.CacheBytes();
    EXPECT_EQ(ReadFileBytes(scrobbler.CacheFile().string() + ".backup"), lines);
}

TEST(ScrobbleCache, FailedPlaysAreScrobbledOnceInOrderAfterRestarts) {
    FakeScrobbleService fake;
    TempFolder profile;
    std::string cache;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScrobblerHost scrobbler(fake, 3, true, profile.path());
        const auto media = scrobbler.Media();
        if (round == 0) {
            // Odd names survive the cache.
            auto comma = WriteTrack(media, {"a,b,c.wav", L"Commas", L"Cache", L"", L"", 0, 60});
            auto accented = WriteTrack(media, {"Bj\xC3\xB6rk \xE2\x80\x93 J\xC3\xB3ga.wav",
                                               L"J\u00F3ga", L"Bj\u00F6rk", L"", L"", 0, 60});
            cache = CacheLine(kStartTime - 30, comma) + CacheLine(kStartTime - 10, accented);
            scrobbler.WriteCache(cache);
        } else if (round == 1) {  // the service answering errors
            fake.FailNext({.code = 11, .onlyMethod = "track.updateNowPlaying"});
            fake.FailNext({.code = 29, .onlyMethod = "track.scrobble"});
        }
        auto track = WriteTrack(
            media, {"play " + std::to_string(round) + ".wav", L"Play " + std::to_wstring(round),
                    L"Restarter", L"", L"", round + 1, 100});
        scrobbler.Start();
        if (round == 0) {  // the service unreachable
            scrobbler.MapService("http://127.0.0.1:" + std::to_string(ClosedPort()));
        }
        scrobbler.host().SetNow(kStartTime + round * 1000);
        scrobbler.PlayAndAdvance(track, 50);
        if (round < 2) {
            // The failed update still arms the timer; the failed submission
            // keeps the cached plays and adds this one.
            cache += CacheLine(kStartTime + round * 1000, track);
            EXPECT_TRUE(scrobbler.plugin().RunUntil([&] {
                return scrobbler.CacheBytes() == cache;
            })) << scrobbler.CacheBytes();
        } else {
            scrobbler.WaitForStatus(kScrobbled + L"Restarter - Play 2");
            EXPECT_TRUE(scrobbler.plugin().RunUntil(
                [&] { return !std::filesystem::exists(scrobbler.CacheFile()); }));
        }
        scrobbler.plugin().Quit();
    }
    auto tracks = fake.Scrobbles();
    ASSERT_EQ(tracks.size(), 5u);
    EXPECT_EQ(tracks[0].track + "|" + tracks[1].artist + " - " + tracks[1].track + "|" +
                  tracks[2].track + "|" + tracks[4].track,
              "Commas|Bj\xC3\xB6rk - J\xC3\xB3ga|Play 0|Play 2");
    EXPECT_EQ(Timestamps(tracks),
              (std::vector<int64_t>{kStartTime - 30, kStartTime - 10, kStartTime, kStartTime + 1000,
                                    kStartTime + 2000}));
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 2u);
}

TEST(ScrobbleCache, TornAndUnacceptableLinesAreSetAsideAndTheRestDrains) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    const auto media = scrobbler.Media();
    auto good = WriteTrack(media, {"good.wav", L"Good", L"Queue", L"", L"", 0, 60});
    auto untitled = WriteTrack(media, {"untitled.wav", L"", L"Queue", L"", L"", 0, 60});
    auto first = WriteTrack(media, {"first.wav", L"First", L"Queue", L"", L"", 0, 60});
    auto second = WriteTrack(media, {"second.wav", L"Second", L"Queue", L"", L"", 0, 60});
    // A write cut short: the last line lost its line break.
    std::string torn = CacheLine(kStartTime - 50, good);
    torn.resize(torn.size() - 2);
    scrobbler.WriteCache(CacheLine(kStartTime - 60, good) + torn);
    scrobbler.Start();
    scrobbler.MapService("http://127.0.0.1:" + std::to_string(ClosedPort()));
    scrobbler.PlayAndAdvance(first, 30);
    const std::string kept =
        CacheLine(kStartTime - 60, good) + torn + "\r\n" + CacheLine(kStartTime, first);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return scrobbler.CacheBytes() == kept; }))
        << scrobbler.CacheBytes();

    // Heads of the queue that can never be accepted: a time of 0 or less,
    // garbage, no title, a deleted file.
    const std::string name = CacheLine(0, good).substr(1);
    const std::string bad = "0" + name + "-1" + name + "garbage\r\n" +
                            CacheLine(kStartTime - 90, untitled) +
                            CacheLine(kStartTime - 80, media / "deleted.wav");
    scrobbler.WriteCache(bad + kept);
    scrobbler.MapService(fake.Address());
    scrobbler.PlayAndAdvance(second, 30);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() == 4; }));
    EXPECT_EQ(Timestamps(fake.Scrobbles()), (std::vector<int64_t>{kStartTime - 60, kStartTime - 50,
                                                                  kStartTime, kStartTime + 30}));
    EXPECT_TRUE(scrobbler.plugin().RunUntil(
        [&] { return !std::filesystem::exists(scrobbler.CacheFile()); }));
    EXPECT_EQ(ReadFileBytes(scrobbler.RejectedFile()), bad);
}

TEST(ScrobbleCache, ABatchRefusedForOneBadPlayIsSentAgainOneByOne) {
    FakeScrobbleService fake;
    fake.RefuseArtist("Refused");
    ScrobblerHost scrobbler(fake, 1);
    const auto media = scrobbler.Media();
    auto fine = WriteTrack(media, {"fine.wav", L"Fine", L"Batch", L"", L"", 0, 60});
    auto refused = WriteTrack(media, {"refused.wav", L"Bad", L"Refused", L"", L"", 0, 60});
    auto current = WriteTrack(media, {"now.wav", L"Now", L"Batch", L"", L"", 0, 60});
    scrobbler.WriteCache(CacheLine(kStartTime - 30, fine) + CacheLine(kStartTime - 20, refused) +
                         CacheLine(kStartTime - 10, fine));
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() == 3; }));
    EXPECT_EQ(Timestamps(fake.Scrobbles()),
              (std::vector<int64_t>{kStartTime - 30, kStartTime - 10, kStartTime}));
    EXPECT_TRUE(scrobbler.plugin().RunUntil(
        [&] { return !std::filesystem::exists(scrobbler.CacheFile()); }));
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 5u);  // the batch, then each alone
    EXPECT_EQ(ReadFileBytes(scrobbler.RejectedFile()), CacheLine(kStartTime - 20, refused));
}

TEST(ScrobbleRules, SkippedPlaysSendNothingEvenAfterAnUnpause) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 7);  // on, now playing, library only
    const auto library = scrobbler.Media() / "library";
    scrobbler.host().SetLibraryFolders({library});
    scrobbler.Start();
    const std::wstring notFound =
        L"Currently playing item will not be scrobbled as it was not "
        L"found in the local library database.\n\n";
    const std::wstring unable = L"Unable to create the scrobbling event.\n";
    const struct {
        host::SampleRecipe recipe;  // empty file name: a stream
        bool inLibrary;
        bool rejected;  // the now-playing update is ignored by the service
        std::wstring status;
        bool prefixOnly;
    } cases[] = {
        {{}, false, false, notFound, true},
        {{"out.wav", L"Outside", L"Lib", L"", L"", 0, 200},
         false,
         false,
         notFound + L"Playing: Lib - Outside",
         false},
        {{"ignored.wav", L"Ignored", L"Nobody", L"", L"", 0, 200},
         true,
         true,
         L"Now playing update was rejected - scrobble attempt will also be skipped [1] (artist "
         L"ignored)\n\nPlaying: Nobody - Ignored",
         false},
        {{"untagged.wav", L"No Artist", L"", L"", L"", 0, 200},
         true,
         false,
         unable + L"Check playing item has valid artist & title metadata.\n\nPlaying: No Artist",
         false},
        {{"short.wav", L"Short", L"Lib", L"", L"", 0, 30},
         true,
         false,
         unable + L"Playing item is too short to be scrobbled.\n\nPlaying: Lib - Short",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.recipe.fileName);
        if (c.rejected) {
            fake.FailNext(
                {.kind = Fault::Kind::Ignored, .code = 1, .onlyMethod = "track.updateNowPlaying"});
        }
        if (c.recipe.fileName.empty()) {
            scrobbler.plugin().PlayStream(L"http://radio.example/stream");
        } else {
            scrobbler.PlayAndAdvance(
                WriteTrack(c.inLibrary ? library : scrobbler.Media(), c.recipe), 100);
        }
        scrobbler.WaitForStatus(c.status, c.prefixOnly);
        scrobbler.plugin().Pause();
        scrobbler.plugin().Resume();
        scrobbler.plugin().RunFor(600);
    }
    EXPECT_TRUE(fake.Requests("track.scrobble").empty());
    EXPECT_EQ(fake.Requests().size(), 1u);  // the rejected update
    EXPECT_FALSE(std::filesystem::exists(scrobbler.CacheFile()));

    scrobbler.PlayAndAdvance(WriteTrack(library, {"in.wav", L"Inside", L"Lib", L"", L"", 0, 200}),
                             100);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() == 1; }));
    EXPECT_EQ(fake.Scrobbles()[0].track, "Inside");
}

}  // namespace
}  // namespace kiln::test
