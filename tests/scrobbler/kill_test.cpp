// The scrobble cache against kill -9: a player process is killed at random
// moments of a submission that the service accepts, slowly, for the first 50
// of 2,000 cached plays and the due play: as the due play is written, while
// the request hangs, between reply and rewrite, during the rewrite. No play
// is ever lost; a play is both cached and accepted only when the kill came
// after the service accepted it and before the cache was replaced.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "fake_scrobbler.h"
#include "scrobbler/cache_line.h"
#include "scrobbler_support.h"

extern char** environ;

namespace kiln::test {
namespace {

using Clock = std::chrono::steady_clock;

pid_t StartPlayer(const std::filesystem::path& profile, const std::string& service,
                  const std::filesystem::path& file) {
    std::string args[] = {KILN_KILL_HELPER, profile.string(), service, file.string()};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    return pid;
}

ino_t FileId(const std::filesystem::path& file) {
    struct stat status {};
    return stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
}

TEST(ScrobbleCacheCrash, KilledAnywhereInASubmissionNoPlayIsLost) {
    FakeScrobbleService fake;
    TempFolder media;
    const auto cached =
        WriteTrack(media.path(), {"cached.wav", L"Cached", L"Kill", L"", L"", 0, 60});
    const auto due = WriteTrack(media.path(), {"due.wav", L"Due", L"Kill", L"", L"", 0, 60});
    std::string original;
    for (int i = 0; i < 2000; ++i) {
        original += CacheLine(kStartTime - 100000 + i, cached);
    }
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Clock::duration window{};
    int replacedRuns = 0, duplicates = 0;
    for (int run = 0; run <= 24; ++run) {  // run 0 is not killed: it measures the window
        SCOPED_TRACE("run " + std::to_string(run));
        TempFolder profile;
        std::filesystem::create_directories(profile.path() / "cache");
        const auto cacheFile = profile.path() / "cache" / "scrobble.cache";
        std::ofstream(cacheFile, std::ios::binary) << original;
        const ino_t originalId = FileId(cacheFile);
        const size_t accepted = fake.Scrobbles().size();
        // The request hangs a while before the service answers.
        fake.FailNext({.kind = Fault::Kind::Slow, .delayMs = 150, .onlyMethod = "track.scrobble"});
        const pid_t player = StartPlayer(profile.path(), fake.Address(), due);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (std::filesystem::file_size(cacheFile) == original.size() &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const auto written = Clock::now();
        if (run == 0) {
            while (FileId(cacheFile) == originalId && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            window = (Clock::now() - written) * 3 / 2;
        } else {
            // One run in five: at once, while the due play is being flushed.
            std::uniform_int_distribution<int64_t> moment(-window.count() / 4, window.count());
            std::this_thread::sleep_for(Clock::duration(std::max<int64_t>(0, moment(random))));
            kill(player, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(player, &status, 0), player);
        ASSERT_TRUE(run > 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
        // A request the player made before it died is still answered.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));

        std::map<int64_t, int> inCache, inAccepted;
        const std::string bytes = ReadFileBytes(cacheFile);
        for (size_t start = 0; start < bytes.size();) {
            const size_t end = bytes.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "a torn line";
            const ParsedCacheLine line =
                ParseCacheLine(std::string_view(bytes).substr(start, end - start));
            ASSERT_EQ(line.kind, CacheLineKind::CacheEntry);
            ++inCache[line.time];
            start = end + 2;
        }
        const auto tracks = fake.Scrobbles();
        for (size_t i = accepted; i < tracks.size(); ++i) {
            ++inAccepted[tracks[i].timestamp];
        }
        const bool replaced = FileId(cacheFile) != originalId;
        replacedRuns += replaced ? 1 : 0;
        std::vector<int64_t> plays = {kStartTime};  // the due play
        for (int i = 0; i < 2000; ++i) {
            plays.push_back(kStartTime - 100000 + i);
        }
        for (const int64_t time : plays) {
            ASSERT_LE(inAccepted[time], 1) << time;
            ASSERT_LE(inCache[time], 1) << time;
            ASSERT_GE(inCache[time] + inAccepted[time], 1) << "lost " << time;
            // Once the cache is replaced, nothing accepted is left in it.
            ASSERT_TRUE(!replaced || inCache[time] + inAccepted[time] == 1) << time;
            duplicates += inCache[time] + inAccepted[time] - 1;
        }
    }
    std::cout << "duplicates (accepted, cache not yet replaced): " << duplicates
              << " over 24 kills, " << replacedRuns - 1 << " after the replacement\n";
    // Some kills must have come after the cache was replaced, some before.
    EXPECT_GT(replacedRuns, 1);
    EXPECT_LT(replacedRuns, 25);
}

}  // namespace
}  // namespace kiln::test
