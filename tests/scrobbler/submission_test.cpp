// Scrobbling as a player drives it: now-playing updates, the scrobble timer,
// submissions, the cache of unsent plays and the status the user sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/host_contract.h"
#include "scrobbler_support.h"
#include "services/text_services.h"

namespace kiln::test {
namespace {

using Names = std::vector<std::string>;

const std::wstring kScrobbled = L"Currently playing item was scrobbled.\n\nPlaying: ";
const std::wstring kWillBeScrobbled =
    L"Currently playing item will be scrobbled once enough of it has played & the required "
    L"metadata is available.\n\nPlaying: ";

// The accepted plays as "title@start", start in seconds after kStartTime.
std::string Played(const FakeScrobbleService& fake) {
    std::string out;
    for (const auto& track : fake.Scrobbles()) {
        out += track.track + "@" + std::to_string(track.timestamp - kStartTime) + " ";
    }
    return out;
}

// Turns the open descriptor of `file` into its folder's: the next read from it
// fails (EISDIR) as a failing disk would, after earlier reads succeeded.
bool BreakOpenFile(const std::filesystem::path& file) {
    const int folder = open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    bool broken = false;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        if (std::filesystem::read_symlink(fd.path(), error) == std::filesystem::canonical(file)) {
            broken = dup2(folder, std::stoi(fd.path().filename().string())) != -1;
        }
    }
    close(folder);
    return broken;
}

TEST(Scrobbling, NowPlayingUpdateThenOneSubmissionOfTheCacheAndTheCurrentPlay) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    // "&" and "+" reach the service as the characters themselves.
    auto cached =
        WriteTrack(scrobbler.Media(), {"condor.wav", L"El C\u00F3ndor Pasa", L"Simon & Garfunkel",
                                       L"Bridge + Troubled Water", L"Various Artists", 2, 60});
    // An album artist equal to the artist is not sent.
    auto current = WriteTrack(scrobbler.Media(),
                              {"believe.wav", L"Believe", L"Cher", L"Believe", L"Cher", 3, 200});
    scrobbler.WriteCache(CacheLine(kStartTime - 1000, cached));
    scrobbler.Start();
    scrobbler.PlayAndAdvance(current, 100);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(2));

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
    EXPECT_EQ(submissions[0].Param("duration[1]") + "/" + submissions[0].Param("trackNumber[1]"),
              "200/3");
    auto tracks = fake.Scrobbles();
    EXPECT_EQ(tracks[0].artist + "|" + tracks[0].albumArtist + "|" + tracks[1].artist,
              "Simon & Garfunkel|Various Artists|Cher");
    EXPECT_EQ(Played(fake), "El C\xC3\xB3ndor Pasa@-1000 Believe@0 ");
    EXPECT_TRUE(scrobbler.WaitForCacheGone());
}

TEST(ScrobbleTimer, PausesCountOnlyTimePlayedAndAPlayIsSubmittedOnce) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    scrobbler.plugin().Play(scrobbler.Track("long.wav", L"Long", L"Pauser", 600));
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
    EXPECT_EQ(Played(fake), "Long@0 ");

    // Paused in the same second as the submission and resumed: not again.
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    EXPECT_EQ(Played(fake), "Long@0 ");
}

TEST(ScrobbleTimer, ADuePlayKeepsItsFileAndStartWhenTheNextItemIsHandledFirst) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto due = scrobbler.Track("due.wav", L"Due", L"Held", 200);
    auto next = scrobbler.Track("next.wav", L"Next", L"Held", 200);
    auto& windows = scrobbler.plugin().windows();
    // The worker is held in the status text it sets after arming the timer,
    // and the timer fires meanwhile.
    auto dueWhileHeld = [&] {
        scrobbler.host().StallService(host::StalledService::TitleFormatting);
        scrobbler.PlayAndAdvance(due, 100);
        EXPECT_TRUE(scrobbler.plugin().RunUntil([&] {
            return scrobbler.host().WaitUntilStalled(0) &&
                   !windows.HasTimer(windows.MainWindow(), contract::kScrobbleTimerId);
        }));
    };
    dueWhileHeld();
    scrobbler.plugin().Play(next);
    scrobbler.host().Unstall();
    scrobbler.host().AdvanceClock(100);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return fake.Scrobbles().size() >= 2; }));
    // The worker is done with that submission before it is held again.
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Held - Next"));

    // Due again, then the player quits during the next item's slow
    // now-playing update: the due play waits in the cache.
    dueWhileHeld();
    windows.ClickButton(scrobbler.Page(), IDC_SCROBBLE_NOW_PLAYING);
    fake.FailNext({.kind = Fault::Kind::Slow, .delayMs = 1500});
    scrobbler.plugin().Play(next);
    scrobbler.host().Unstall();
    scrobbler.plugin().RunFor(300);
    scrobbler.plugin().Quit();
    EXPECT_EQ(scrobbler.CacheBytes(), CacheLine(kStartTime + 200, due));
    EXPECT_EQ(Played(fake), "Due@0 Next@100 ");
}

TEST(ScrobbleTimer, ASlowNowPlayingReplyArmsNothingForAPlaySkippedMeanwhile) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    scrobbler.Start();
    auto skipped = scrobbler.Track("skip.wav", L"Skipped", L"Slow", 200);
    auto next = scrobbler.Track("next.wav", L"Next", L"Slow", 200);
    fake.FailNext(
        {.kind = Fault::Kind::Slow, .delayMs = 1500, .onlyMethod = "track.updateNowPlaying"});
    scrobbler.plugin().Play(skipped);
    scrobbler.plugin().RunFor(1000);  // the update is on its way
    scrobbler.host().AdvanceClock(10);
    scrobbler.PlayAndAdvance(next, 100);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(1));
    scrobbler.plugin().RunFor(500);
    EXPECT_EQ(Played(fake), "Next@10 ");
    EXPECT_EQ(fake.Requests("track.updateNowPlaying").size(), 2u);

    // An update held past the play's scrobble point: the play is due at
    // once, and only once.
    const auto late = scrobbler.Track("late.wav", L"Late", L"Slow", 60);
    const int64_t lateStart = scrobbler.host().Now();
    fake.FailNext(
        {.kind = Fault::Kind::Slow, .delayMs = 1500, .onlyMethod = "track.updateNowPlaying"});
    scrobbler.plugin().Play(late);
    scrobbler.plugin().RunFor(1000);  // the update is on its way
    scrobbler.host().AdvanceClock(40);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Slow - Late"));
    scrobbler.plugin().Pause();
    scrobbler.plugin().Resume();
    scrobbler.plugin().RunFor(600);
    EXPECT_EQ(Played(fake), "Next@10 Late@" + std::to_string(lateStart - kStartTime) + " ");
}

TEST(ScrobbleCache, AReadErrorKeepsTheCacheAndABacklogDrainsInPacedBatchesUntilQuit) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    auto cached = scrobbler.Track("cached.wav", L"Cached", L"Backlog");
    auto first = scrobbler.Track("first.wav", L"First", L"Backlog");
    std::string lines, played;
    for (int64_t time = kStartTime - 2000; time < kStartTime; ++time) {
        played += "Cached@" + std::to_string(time - kStartTime) + " ";
        lines += CacheLine(time, cached);
    }
    scrobbler.WriteCache(lines);
    scrobbler.Start();
    // A read failing past the reader's first buffer (a page of these lines)
    // is not the end: the cache stays whole, the due play, written after it,
    // goes alone.
    scrobbler.host().StallService(host::StalledService::LineRead);
    scrobbler.PlayAndAdvance(first, 30);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return scrobbler.host().WaitUntilStalled(0); }));
    ASSERT_TRUE(BreakOpenFile(scrobbler.CacheFile()));
    scrobbler.host().Unstall();
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Backlog - First"));
    EXPECT_EQ(scrobbler.CacheBytes(), lines + "\r\n" + CacheLine(kStartTime, first));

    // The whole backlog then goes, 50 a request, in order, a request only
    // after the pace (two ticks of the host's clock here, else a second).
    scrobbler.PlayAndAdvance(scrobbler.Track("now.wav", L"Now", L"Backlog"), 30);
    for (size_t seen = 1; seen < 42; ++seen) {
        ASSERT_TRUE(scrobbler.plugin().RunUntil([&] {
            return fake.Requests("track.scrobble").size() > seen;
        })) << seen;
        if (seen < 4) {
            ASSERT_TRUE(
                scrobbler.WaitForStatus(L"Scrobbles saved earlier are being sent, 50 at a time: " +
                                        std::to_wstring(2001 - 50 * seen) + L" still to send."));
            scrobbler.plugin().RunFor(100);
            ASSERT_EQ(fake.Requests("track.scrobble").size(), seen + 1);
        }
        scrobbler.host().AdvanceClock(2);
    }
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Backlog - Now"));
    EXPECT_TRUE(scrobbler.WaitForCacheGone());
    EXPECT_EQ(Played(fake), "First@0 " + played + "Now@30 ");
    for (const auto& request : fake.Requests("track.scrobble")) {
        EXPECT_LE(
            std::count_if(request.bodyNames.begin(), request.bodyNames.end(),
                          [](const std::string& name) { return name.rfind("artist[", 0) == 0; }),
            50);
    }

    // Quit during a hung submission ends its transfer at once: the service
    // never saw it complete, and the play waits in the cache.
    fake.FailNext({.kind = Fault::Kind::Slow, .delayMs = 5000, .onlyMethod = "track.scrobble"});
    const int64_t lastStart = scrobbler.host().Now();
    const auto last = scrobbler.Track("last.wav", L"Last", L"Backlog");
    scrobbler.PlayAndAdvance(last, 30);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return scrobbler.CacheBytes() != ""; }));
    scrobbler.plugin().RunFor(200);
    scrobbler.plugin().Quit();
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 42u);
    EXPECT_EQ(scrobbler.CacheBytes(), CacheLine(lastStart, last));
}

TEST(ScrobbleCache, FailedPlaysAreScrobbledOnceInOrderAfterRestarts) {
    FakeScrobbleService fake;
    TempFolder profile;
    std::string cache;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScrobblerHost scrobbler(fake, 3, true, profile.path());
        if (round == 0) {
            // Odd names survive the cache.
            auto comma = scrobbler.Track("a,b,c.wav", L"Commas", L"Cache");
            auto accented = scrobbler.Track("Bj\xC3\xB6rk \xE2\x80\x93 J\xC3\xB3ga.wav",
                                            L"J\u00F3ga", L"Bj\u00F6rk");
            cache = CacheLine(kStartTime - 30, comma) + CacheLine(kStartTime - 10, accented);
            // A write cut short: the last line lost its line break, and the
            // next line must not be glued to it.
            scrobbler.WriteCache(cache.substr(0, cache.size() - 2));
        } else if (round == 1) {  // the service answering errors
            fake.FailNext({.code = 11, .onlyMethod = "track.updateNowPlaying"});
            fake.FailNext({.code = 29, .onlyMethod = "track.scrobble"});
        }
        auto track = scrobbler.Track("play " + std::to_string(round) + ".wav",
                                     L"Play " + std::to_wstring(round), L"Restarter", 100);
        scrobbler.Start();
        if (round == 0) {  // the service unreachable
            scrobbler.MapServiceToClosedPort();
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
            // The play is written before it is sent: the service has its
            // failing answer to give first.
            EXPECT_TRUE(scrobbler.plugin().RunUntil(
                [&] { return fake.Requests("track.scrobble").size() == size_t(round); }));
        } else {
            EXPECT_TRUE(scrobbler.WaitForCacheGone()) << host::WideToUtf8(scrobbler.Status());
        }
        scrobbler.plugin().Quit();
    }
    EXPECT_EQ(Played(fake), "Commas@-30 J\xC3\xB3ga@-10 Play 0@0 Play 1@1000 Play 2@2000 ");
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 2u);
}

TEST(ScrobbleCache, UnacceptableLinesAreSetAsideAndTheRestDrains) {
    FakeScrobbleService fake;
    fake.RefuseArtist("Refused");
    ScrobblerHost scrobbler(fake, 1);
    auto good = scrobbler.Track("good.wav", L"Good", L"Queue");
    auto untitled = scrobbler.Track("untitled.wav", L"", L"Queue");
    // Heads of the queue that can never be accepted: a time of 0 or less,
    // garbage, no title, a deleted file.
    const std::string name = CacheLine(0, good).substr(1);
    const std::string bad = "0" + name + "-1" + name + "garbage\r\n" +
                            CacheLine(kStartTime - 90, untitled) +
                            CacheLine(kStartTime - 80, scrobbler.Media() / "deleted.wav");
    // And a play the service refuses for good (error 6) in the batch: each
    // play is then sent alone, once, to find it.
    const std::string refused =
        CacheLine(kStartTime - 70, scrobbler.Track("refused.wav", L"Bad", L"Refused"));
    scrobbler.WriteCache(bad + refused + CacheLine(kStartTime - 60, good) +
                         CacheLine(kStartTime - 50, good));
    scrobbler.Start();
    scrobbler.PlayAndAdvance(scrobbler.Track("now.wav", L"Now", L"Queue"), 30);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(3));
    EXPECT_EQ(Played(fake), "Good@-60 Good@-50 Now@0 ");
    EXPECT_TRUE(scrobbler.WaitForCacheGone())
        << host::WideToUtf8(scrobbler.Status()) << scrobbler.CacheBytes();
    // Each set aside with why, after the line as it was.
    auto because = [](std::string lines, const std::vector<std::string>& reasons) {
        size_t at = 0;
        for (const std::string& reason : reasons) {
            at = lines.find("\r\n", at);
            lines.insert(at, "\t" + reason);
            at += reason.size() + 3;
        }
        return lines;
    };
    EXPECT_EQ(ReadFileBytes(scrobbler.RejectedFile()),
              because(bad + refused, {"no start time", "no start time", "unreadable line",
                                      "no artist or title", "no metadata, or 30 seconds or shorter",
                                      "refused by the service, error 6"}));
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 5u);  // the batch, then each alone
}

// Every write the scrobbler makes, failing in turn: the cache append, the
// rejected file, the cache's replacement.
TEST(ScrobbleCache, WritesThatFailLoseNothingAndSaySo) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    const std::string garbage = "garbage\r\n";
    const std::string cache =
        garbage + CacheLine(kStartTime - 100, scrobbler.Track("cached.wav", L"Cached", L"Disk"));
    scrobbler.WriteCache(cache);
    const auto one = scrobbler.Track("one.wav", L"One", L"Disk");
    const auto two = scrobbler.Track("two.wav", L"Two", L"Disk");
    const auto three = scrobbler.Track("three.wav", L"Three", L"Disk");
    const auto four = scrobbler.Track("four.wav", L"Four", L"Disk");
    // A folder where the rejected file goes: the garbage line cannot be set
    // aside, so it stays in the cache.
    std::filesystem::create_directories(scrobbler.RejectedFile());
    scrobbler.Start();
    // A full disk: a file size limit fails the cache's writes as one would
    // (without it killing the process), and the service is unreachable.
    signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{}, full{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    full = unlimited;
    full.rlim_cur = cache.size() + 10;  // room for part of a line
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    scrobbler.MapServiceToClosedPort();
    scrobbler.PlayAndAdvance(one, 30);
    const bool told = scrobbler.WaitForStatus(
        L"Scrobbles couldn't be saved to the scrobble cache file, most likely as the disk is "
        L"full. 1 waiting scrobble(s) are kept in memory & will be sent or saved again on the "
        L"next scrobble.\n\nPlaying: Disk - One");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    ASSERT_TRUE(told);
    EXPECT_EQ(scrobbler.CacheBytes(), cache);  // not a byte of a torn line

    // Room again: the play kept in memory goes with the next.
    scrobbler.MapService(fake.Address());
    scrobbler.PlayAndAdvance(two, 30);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Disk - Two"));
    EXPECT_EQ(Played(fake), "Cached@-100 One@0 Two@30 ");
    EXPECT_TRUE(scrobbler.plugin().RunUntil([&] { return scrobbler.CacheBytes() == garbage; }));

    // A cache that cannot be replaced (a folder where its new version is
    // written): the accepted play stays in it but is not sent again.
    const auto replacement = scrobbler.CacheFile().string() + ".tmp";
    std::filesystem::create_directories(replacement);
    scrobbler.PlayAndAdvance(three, 30);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Disk - Three"));
    EXPECT_EQ(scrobbler.CacheBytes(), garbage + CacheLine(kStartTime + 60, three));

    // Once both can be written, the garbage line moves to the rejected file
    // and only the new play is sent.
    std::filesystem::remove(replacement);
    std::filesystem::remove(scrobbler.RejectedFile());
    scrobbler.PlayAndAdvance(four, 30);
    ASSERT_TRUE(scrobbler.WaitForStatus(kScrobbled + L"Disk - Four"));
    EXPECT_TRUE(scrobbler.WaitForCacheGone());
    EXPECT_EQ(ReadFileBytes(scrobbler.RejectedFile()), "garbage\tunreadable line\r\n");
    EXPECT_EQ(Played(fake), "Cached@-100 One@0 Two@30 Three@60 Four@90 ");
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 3u);
}

// Another process holds the profile's lock (a player started first): this
// instance sends nothing and leaves the cache alone until it is let go.
TEST(ScrobbleOwner, ASecondInstanceNeitherScrobblesNorWritesTheCache) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3);
    const std::string cache =
        CacheLine(kStartTime - 100, scrobbler.Track("cached.wav", L"Cached", L"Owner"));
    scrobbler.WriteCache(cache);
    const auto lockFile = scrobbler.CacheFile().parent_path() / "scrobble.lock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    if (other == 0) {
        const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT, 0644);
        const char held = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 1 : 0;
        if (write(ready[1], &held, 1) == 1) {
            pause();
        }
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 1);
    scrobbler.Start();
    scrobbler.PlayAndAdvance(scrobbler.Track("one.wav", L"One", L"Owner"), 100);
    const bool told = scrobbler.WaitForStatus(L"Scrobbling is off in this instance", true);
    scrobbler.plugin().RunFor(1000);
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(told);
    EXPECT_TRUE(fake.Requests().empty());
    EXPECT_EQ(scrobbler.CacheBytes(), cache);

    // The other one gone, this one takes over.
    scrobbler.PlayAndAdvance(scrobbler.Track("two.wav", L"Two", L"Owner"), 100);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(2));
    EXPECT_EQ(Played(fake), "Cached@-100 Two@100 ");
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
        const char* file;  // none: a stream
        const wchar_t *title, *artist;
        int seconds;
        bool inLibrary, rejected;  // rejected: the service ignores the now-playing update
        std::wstring status;       // how it starts
    } cases[] = {
        {nullptr, L"", L"", 0, false, false, notFound},
        {"out.wav", L"Outside", L"Lib", 200, false, false, notFound + L"Playing: Lib - Outside"},
        {"ignored.wav", L"Ignored", L"Nobody", 200, true, true, L"Now playing update was rejected"},
        {"untagged.wav", L"No Artist", L"", 200, true, false,
         unable + L"Check playing item has valid artist & title metadata.\n\nPlaying: No Artist"},
        {"short.wav", L"Short", L"Lib", 30, true, false, unable + L"Playing item is too short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "a stream");
        if (c.rejected) {
            fake.FailNext(
                {.kind = Fault::Kind::Ignored, .code = 1, .onlyMethod = "track.updateNowPlaying"});
        }
        if (!c.file) {
            scrobbler.plugin().PlayStream(L"http://radio.example/stream");
        } else {
            scrobbler.PlayAndAdvance(
                WriteTrack(c.inLibrary ? library : scrobbler.Media(),
                           {c.file, c.title, c.artist, L"", L"", 0, c.seconds}),
                100);
        }
        scrobbler.WaitForStatus(c.status, true);
        scrobbler.plugin().Pause();
        scrobbler.plugin().Resume();
        scrobbler.plugin().RunFor(600);
    }
    EXPECT_EQ(fake.Requests().size(), 1u);  // the rejected update, nothing else
    EXPECT_FALSE(std::filesystem::exists(scrobbler.CacheFile()));

    scrobbler.PlayAndAdvance(WriteTrack(library, {"in.wav", L"Inside", L"Lib", L"", L"", 0, 200}),
                             100);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(1));
    EXPECT_EQ(Played(fake), "Inside@400 ");
}

}  // namespace
}  // namespace kiln::test
