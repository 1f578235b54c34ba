// Scrobbling as a player drives it: now-playing updates, the scrobble timer,
// submissions, the cache of unsent plays and the status the user sees.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/paths.h"
#include "host/text_services.h"
#include "scrobbler/deployment.h"
#include "scrobbler_support.h"

namespace kiln::test {
namespace {

constexpr const wchar_t* kWillBeScrobbled =
    L"Currently playing item will be scrobbled once enough of it has played & the required "
    L"metadata is available.\n\n";
constexpr const wchar_t* kScrobbled = L"Currently playing item was scrobbled.\n\n";

std::vector<std::string> Names(const ReceivedRequest& request) {
    return request.bodyNames;
}

std::vector<int64_t> Timestamps(const std::vector<ScrobbledTrack>& tracks) {
    std::vector<int64_t> times;
    for (const auto& track : tracks) {
        times.push_back(track.timestamp);
    }
    return times;
}

TEST(Scrobbling, NowPlayingUpdateThenScrobbleOnceHalfHasPlayed) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    scrobbler.Start();
    // An album artist equal to the artist is not sent.
    auto track = WriteTrack(scrobbler.Media(),
                            {"believe.wav", L"Believe", L"Cher", L"Believe", L"Cher", 3, 200});
    scrobbler.PlayAndAdvance(track, 100);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 1; }));
    EXPECT_TRUE(scrobbler.WaitForStatus(kScrobbled + std::wstring(L"Playing: Cher - Believe")))
        << host::WideToUtf8(scrobbler.Status());

    auto updates = fake.Requests("track.updateNowPlaying");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(Names(updates[0]),
              (std::vector<std::string>{"album", "api_key", "artist", "duration", "method", "sk",
                                        "track", "trackNumber", "api_sig"}));
    const std::string signatureText = std::string("albumBelieveapi_key") + KILN_SCROBBLE_API_KEY +
                                      "artistCherduration200methodtrack.updateNowPlayingsk" +
                                      FakeScrobbleService::kSessionKey +
                                      "trackBelievetrackNumber3" + KILN_SCROBBLE_SHARED_SECRET;
    EXPECT_EQ(updates[0].params["api_sig"], host::Md5Hex(signatureText));
    EXPECT_TRUE(updates[0].signatureValid);

    auto scrobbles = fake.Requests("track.scrobble");
    ASSERT_EQ(scrobbles.size(), 1u);
    EXPECT_EQ(
        Names(scrobbles[0]),
        (std::vector<std::string>{"album[0]", "api_key", "artist[0]", "duration[0]", "method", "sk",
                                  "timestamp[0]", "trackNumber[0]", "track[0]", "api_sig"}));
    EXPECT_TRUE(scrobbles[0].signatureValid);
    const ScrobbledTrack sent = fake.Scrobbles()[0];
    EXPECT_EQ(sent.artist, "Cher");
    EXPECT_EQ(sent.track, "Believe");
    EXPECT_EQ(sent.timestamp, kStartTime);
    EXPECT_EQ(sent.duration, 200);
    EXPECT_EQ(sent.trackNumber, 3);
    EXPECT_TRUE(scrobbler.WaitFor(
        [&] { return !std::filesystem::exists(CacheFileOf(scrobbler.profile())); }));
}

TEST(Scrobbling, TwoTrackSubmissionOrdersNamesAndEncodesValues) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto cached =
        WriteTrack(scrobbler.Media(), {"condor.wav", L"El C\u00F3ndor Pasa", L"Simon & Garfunkel",
                                       L"Bridge over Troubled Water", L"Various Artists", 2, 60});
    auto current = WriteTrack(scrobbler.Media(), {"current.wav", L"Second", L"Artist Two",
                                                  L"Album Two", L"Someone Else", 7, 80});
    WriteCacheLines(scrobbler.profile(), {{kStartTime - 1000, cached}});
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 40);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 2; }));
    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 1u);  // without now-playing updates the first request scrobbles
    EXPECT_EQ(
        Names(requests[0]),
        (std::vector<std::string>{"albumArtist[0]", "albumArtist[1]", "album[0]", "album[1]",
                                  "api_key", "artist[0]", "artist[1]", "duration[0]", "duration[1]",
                                  "method", "sk", "timestamp[0]", "timestamp[1]", "trackNumber[0]",
                                  "trackNumber[1]", "track[0]", "track[1]", "api_sig"}));
    // Percent-encoded in the body, signed raw: the service's check passes.
    EXPECT_NE(requests[0].body.find("&artist[0]=Simon%20%26%20Garfunkel&"), std::string::npos);
    EXPECT_NE(requests[0].body.find("&track[0]=El%20C%C3%B3ndor%20Pasa&"), std::string::npos);
    EXPECT_TRUE(requests[0].signatureValid);
    auto tracks = fake.Scrobbles();
    EXPECT_EQ(tracks[0].artist, "Simon & Garfunkel");
    EXPECT_EQ(tracks[0].track, "El C\xC3\xB3ndor Pasa");
    EXPECT_EQ(tracks[0].albumArtist, "Various Artists");
    EXPECT_EQ(Timestamps(tracks), (std::vector<int64_t>{kStartTime - 1000, kStartTime}));
    EXPECT_TRUE(
        scrobbler.WaitForStatus(kScrobbled + std::wstring(L"Playing: Artist Two - Second")));
    EXPECT_TRUE(scrobbler.WaitFor(
        [&] { return !std::filesystem::exists(CacheFileOf(scrobbler.profile())); }));
}

TEST(ScrobbleTimer, DueAfterHalfTheLengthAtMost240Seconds) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto media = scrobbler.Media();
    auto t31 = WriteTrack(media, {"t31.wav", L"Thirty-one", L"Timer", L"", L"", 0, 31});
    auto t30 = WriteTrack(media, {"t30.wav", L"Thirty", L"Timer", L"", L"", 0, 30});
    auto t480 = WriteTrack(media, {"t480.wav", L"Four eighty", L"Timer", L"", L"", 0, 480});
    auto t481 = WriteTrack(media, {"t481.wav", L"Four eighty-one", L"Timer", L"", L"", 0, 481});

    // 31 s: due 16 s in (15.5 rounded up). Armed 15 s in, it waits one more second.
    scrobbler.PlayAndAdvance(t31, 15);
    ASSERT_TRUE(
        scrobbler.WaitForStatus(kWillBeScrobbled + std::wstring(L"Playing: Timer - Thirty-one")));
    scrobbler.plugin().RunFor(400);
    EXPECT_TRUE(fake.Scrobbles().empty());
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 1; }, 3000));

    // 30 s: too short, nothing armed, nothing sent.
    scrobbler.PlayAndAdvance(t30, 30);
    EXPECT_TRUE(scrobbler.WaitForStatus(
        L"Unable to create the scrobbling event.\nPlaying item is too short to be scrobbled.\n\n"
        L"Playing: Timer - Thirty"));

    // 480 s: due 240 s after its start.
    scrobbler.PlayAndAdvance(t480, 240);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 2; }, 3000));

    // 481 s: a flat 240 s from arming, whatever has played.
    scrobbler.PlayAndAdvance(t481, 240);
    ASSERT_TRUE(scrobbler.WaitForStatusPrefix(kWillBeScrobbled));
    scrobbler.plugin().RunFor(500);
    EXPECT_EQ(fake.Scrobbles().size(), 2u);
    EXPECT_EQ(fake.RequestCount(), 2u);
    scrobbler.plugin().Stop();
}

TEST(ScrobbleTimer, PauseStopsItAndUnpauseArmsTheRest) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto first =
        WriteTrack(scrobbler.Media(), {"first.wav", L"First", L"Pauser", L"", L"", 0, 200});
    auto second =
        WriteTrack(scrobbler.Media(), {"second.wav", L"Second", L"Pauser", L"", L"", 0, 200});

    // Paused 99 s in: one second of playing is left after the unpause.
    scrobbler.plugin().Play(first);
    ASSERT_TRUE(scrobbler.WaitForStatusPrefix(kWillBeScrobbled));
    scrobbler.host().AdvanceClock(99);
    scrobbler.plugin().Pause();
    scrobbler.plugin().RunFor(300);      // the worker notes the time played
    scrobbler.host().AdvanceClock(500);  // time spent paused does not count
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(400);
    EXPECT_TRUE(fake.Scrobbles().empty());
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 1; }, 3000));
    EXPECT_EQ(fake.Scrobbles()[0].track, "First");

    // Paused exactly at its scrobble point: due at once after the unpause.
    scrobbler.plugin().Play(second);
    ASSERT_TRUE(
        scrobbler.WaitForStatus(kWillBeScrobbled + std::wstring(L"Playing: Pauser - Second")));
    const int64_t secondStart = scrobbler.host().Now();
    scrobbler.host().AdvanceClock(100);
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 2; }, 3000));
    EXPECT_EQ(fake.Scrobbles()[1].timestamp, secondStart);

    // Paused after its scrobble point: no second submission.
    scrobbler.host().AdvanceClock(5);
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    EXPECT_EQ(fake.Scrobbles().size(), 2u);
}

TEST(ScrobbleCache, LongCacheSendsFiftyAndKeepsTheRestWithTheCurrentPlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto cached =
        WriteTrack(scrobbler.Media(), {"cached.wav", L"Cached", L"Backlog", L"", L"", 0, 60});
    auto current = WriteTrack(scrobbler.Media(), {"now.wav", L"Now", L"Backlog", L"", L"", 0, 60});
    std::vector<std::pair<int64_t, std::filesystem::path>> lines;
    for (int i = 1; i <= 120; ++i) {
        lines.emplace_back(kStartTime - 10000 + i, cached);
    }
    WriteCacheLines(scrobbler.profile(), lines);
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 50; }));
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + std::wstring(L"Playing: Backlog - Cached")));
    std::vector<int64_t> expectedSent;
    for (int i = 1; i <= 50; ++i) {
        expectedSent.push_back(kStartTime - 10000 + i);
    }
    EXPECT_EQ(Timestamps(fake.Scrobbles()), expectedSent);
    auto request = fake.Requests("track.scrobble").at(0);
    EXPECT_EQ(request.params.count("artist[49]"), 1u);
    EXPECT_EQ(request.params.count("artist[50]"), 0u);

    std::string expectedCache;
    for (int i = 51; i <= 120; ++i) {
        expectedCache += CacheLine(kStartTime - 10000 + i, cached);
    }
    expectedCache += CacheLine(kStartTime, current);
    // The status comes before the cache is rewritten.
    EXPECT_TRUE(scrobbler.WaitFor([&] {
        return ReadFileBytes(CacheFileOf(scrobbler.profile())) == expectedCache;
    })) << ReadFileBytes(CacheFileOf(scrobbler.profile()));
    EXPECT_EQ(ReadFileBytes(CacheFileOf(scrobbler.profile()).string() + ".backup").size(),
              120 * CacheLine(kStartTime, cached).size());
}

TEST(ScrobbleCache, FailedTransferKeepsTheLinesAndAddsTheCurrentPlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto cached =
        WriteTrack(scrobbler.Media(), {"cached.wav", L"Cached", L"Offline", L"", L"", 0, 60});
    auto current = WriteTrack(scrobbler.Media(), {"now.wav", L"Now", L"Offline", L"", L"", 0, 60});
    WriteCacheLines(
        scrobbler.profile(),
        {{kStartTime - 300, cached}, {kStartTime - 200, cached}, {kStartTime - 100, cached}});
    const std::string before = ReadFileBytes(CacheFileOf(scrobbler.profile()));
    scrobbler.Start();
    scrobbler.MapService("http://127.0.0.1:" + std::to_string(ClosedPort()));
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.WaitForStatusPrefix(L"Scrobbling action failed.\nError: "));
    EXPECT_TRUE(scrobbler.WaitFor([&] {
        return ReadFileBytes(CacheFileOf(scrobbler.profile())) ==
               before + CacheLine(kStartTime, current);
    }));
    EXPECT_EQ(fake.RequestCount(), 0u);
}

TEST(ScrobbleCache, LinesOfMissingFilesAndDamageAreDroppedWhenTheCurrentPlayIsSent) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto current = WriteTrack(scrobbler.Media(), {"now.wav", L"Now", L"Cleaner", L"", L"", 0, 60});
    WriteCacheLines(scrobbler.profile(), {{kStartTime - 300, scrobbler.Media() / "deleted 1.wav"},
                                          {kStartTime - 200, scrobbler.Media() / "deleted 2.wav"}});
    {
        std::ofstream out(CacheFileOf(scrobbler.profile()), std::ios::binary | std::ios::app);
        out << "\r\nnot a line\r\n";
    }
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + std::wstring(L"Playing: Cleaner - Now")));
    auto requests = fake.Requests("track.scrobble");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].params["track[0]"], "Now");
    EXPECT_EQ(requests[0].params.count("track[1]"), 0u);
    EXPECT_TRUE(scrobbler.WaitFor(
        [&] { return !std::filesystem::exists(CacheFileOf(scrobbler.profile())); }));
}

TEST(ScrobbleCache, EmptyLinesCommasAndNonAsciiNamesSurviveTheCache) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto comma = WriteTrack(scrobbler.Media(), {"a,b,c.wav", L"Commas", L"Cache", L"", L"", 0, 60});
    auto accented = WriteTrack(scrobbler.Media(), {"Bj\xC3\xB6rk \xE2\x80\x93 J\xC3\xB3ga.wav",
                                                   L"J\u00F3ga", L"Bj\u00F6rk", L"", L"", 0, 60});
    auto current = WriteTrack(scrobbler.Media(), {"now.wav", L"Now", L"Cache", L"", L"", 0, 60});
    std::filesystem::create_directories(scrobbler.profile() / "cache");
    {
        std::ofstream out(CacheFileOf(scrobbler.profile()), std::ios::binary);
        out << CacheLine(kStartTime - 20, comma) << "\r\n" << CacheLine(kStartTime - 10, accented);
    }
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 30);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 3; }));
    auto tracks = fake.Scrobbles();
    EXPECT_EQ(tracks[0].track, "Commas");
    EXPECT_EQ(tracks[1].track, "J\xC3\xB3ga");
    EXPECT_EQ(tracks[1].artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(tracks[2].track, "Now");
    EXPECT_EQ(Timestamps(tracks),
              (std::vector<int64_t>{kStartTime - 20, kStartTime - 10, kStartTime}));
}

TEST(ScrobbleCache, PlaysWhileTheServiceIsDownAreScrobbledOnceInOrderAfterRestarts) {
    FakeScrobbleService fake;
    TempFolder profile;
    const std::string down = "http://127.0.0.1:" + std::to_string(ClosedPort());
    std::vector<std::filesystem::path> tracks;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ScrobblerHost scrobbler(fake, 3, true, profile.path());
        const std::string name = "play " + std::to_string(round) + ".wav";
        tracks.push_back(WriteTrack(scrobbler.Media(), {name, L"Play " + std::to_wstring(round),
                                                        L"Restarter", L"", L"", round + 1, 100}));
        scrobbler.Start();
        scrobbler.host().SetNow(kStartTime + round * 1000);
        if (round < 3) {
            scrobbler.MapService(down);
        }
        scrobbler.PlayAndAdvance(tracks.back(), 50);
        if (round < 3) {
            // The failed update still arms the timer; the failed submission caches the play.
            std::string expected;
            for (int i = 0; i <= round; ++i) {
                expected += CacheLine(kStartTime + i * 1000, tracks[static_cast<size_t>(i)]);
            }
            ASSERT_TRUE(scrobbler.WaitFor([&] {
                return ReadFileBytes(CacheFileOf(profile.path())) == expected;
            })) << ReadFileBytes(CacheFileOf(profile.path()));
        } else {
            ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 4; }));
            ASSERT_TRUE(
                scrobbler.WaitForStatus(kScrobbled + std::wstring(L"Playing: Restarter - Play 3")));
        }
        scrobbler.plugin().Quit();
    }
    auto scrobbled = fake.Scrobbles();
    ASSERT_EQ(scrobbled.size(), 4u);
    for (int round = 0; round < 4; ++round) {
        EXPECT_EQ(scrobbled[round].track, "Play " + std::to_string(round));
        EXPECT_EQ(scrobbled[round].timestamp, kStartTime + round * 1000);
    }
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(CacheFileOf(profile.path())));
}

TEST(ScrobbleReplies, RejectedNowPlayingSkipsTheScrobbleEvenAfterAnUnpause) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    scrobbler.Start();
    auto track =
        WriteTrack(scrobbler.Media(), {"ignored.wav", L"Ignored", L"Nobody", L"", L"", 0, 200});
    Fault ignored{Fault::Kind::Ignored, 1};
    ignored.onlyMethod = "track.updateNowPlaying";
    fake.FailNext(ignored);
    scrobbler.PlayAndAdvance(track, 100);
    ASSERT_TRUE(scrobbler.WaitForStatus(
        L"Now playing update was rejected - scrobble attempt will also be skipped [1] (artist "
        L"ignored)\n\nPlaying: Nobody - Ignored"));
    scrobbler.plugin().RunFor(400);
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    EXPECT_TRUE(fake.Requests("track.scrobble").empty());
    EXPECT_FALSE(std::filesystem::exists(CacheFileOf(scrobbler.profile())));
}

TEST(ScrobbleReplies, ErrorRepliesStillArmTheTimerAndKeepThePlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    scrobbler.Start();
    auto track = WriteTrack(scrobbler.Media(), {"six.wav", L"Six", L"Param", L"", L"", 0, 200});
    Fault six = Fault::Error(6, false);
    six.onlyMethod = "track.updateNowPlaying";
    fake.FailNext(six);
    Fault nine = Fault::Error(9);
    nine.onlyMethod = "track.scrobble";
    fake.FailNext(nine);
    scrobbler.PlayAndAdvance(track, 100);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Requests("track.scrobble").size() == 1; }));
    EXPECT_TRUE(scrobbler.WaitForStatusPrefix(
        L"Scrobbling isn't working most likely due to an invalid authorisation token."));
    EXPECT_EQ(fake.Requests("track.updateNowPlaying").size(), 1u);
    // An error reply keeps the play for the next submission.
    EXPECT_TRUE(scrobbler.WaitFor([&] {
        return ReadFileBytes(CacheFileOf(scrobbler.profile())) == CacheLine(kStartTime, track);
    }));
}

TEST(ScrobbleRules, LibraryOnlySkipsStreamsAndFilesOutsideTheLibrary) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 7);
    auto inside =
        WriteTrack(scrobbler.Media() / "library", {"in.wav", L"Inside", L"Lib", L"", L"", 0, 200});
    auto outside = WriteTrack(scrobbler.Media() / "elsewhere",
                              {"out.wav", L"Outside", L"Lib", L"", L"", 0, 200});
    scrobbler.host().SetLibraryFolders({scrobbler.Media() / "library"});
    scrobbler.Start();
    const std::wstring notFound =
        L"Currently playing item will not be scrobbled as it was not found in the local library "
        L"database.\n\n";
    scrobbler.PlayAndAdvance(outside, 100);
    EXPECT_TRUE(scrobbler.WaitForStatus(notFound + L"Playing: Lib - Outside"));
    // Not armed by an unpause either.
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    scrobbler.plugin().PlayStream(L"http://radio.example/stream");
    EXPECT_TRUE(scrobbler.WaitFor([&] {
        return scrobbler.Status().rfind(notFound, 0) == 0 &&
               scrobbler.Status() != notFound + L"Playing: Lib - Outside";
    }));
    EXPECT_EQ(fake.RequestCount(), 0u);

    scrobbler.PlayAndAdvance(inside, 100);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 1; }));
    EXPECT_EQ(fake.Scrobbles()[0].track, "Inside");
    EXPECT_EQ(fake.Requests("track.updateNowPlaying").size(), 1u);
}

TEST(ScrobbleRules, IneligibleOrUnauthorisedPlaysSendNothing) {
    FakeScrobbleService fake;
    {
        ScrobblerHost scrobbler(fake, 3);
        scrobbler.Start();
        auto untagged =
            WriteTrack(scrobbler.Media(), {"untagged.wav", L"No Artist", L"", L"", L"", 0, 200});
        scrobbler.PlayAndAdvance(untagged, 100);
        EXPECT_TRUE(scrobbler.WaitForStatus(
            L"Unable to create the scrobbling event.\nCheck playing item has valid artist & title "
            L"metadata.\n\nPlaying: No Artist"));
        scrobbler.plugin().RunFor(300);
    }
    {
        ScrobblerHost scrobbler(fake, 3, false);
        scrobbler.Start();
        const std::wstring waiting = L"Waiting for authorisation to be allowed (see above)";
        EXPECT_EQ(scrobbler.Status(), waiting);
        auto track =
            WriteTrack(scrobbler.Media(), {"track.wav", L"Title", L"Artist", L"", L"", 0, 200});
        scrobbler.PlayAndAdvance(track, 100);
        scrobbler.plugin().RunFor(1200);
        EXPECT_EQ(scrobbler.Status(), waiting);
        EXPECT_FALSE(std::filesystem::exists(CacheFileOf(scrobbler.profile())));
    }
    EXPECT_EQ(fake.RequestCount(), 0u);
}

}  // namespace
}  // namespace kiln::test
