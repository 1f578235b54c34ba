// The scrobble cache against kill -9: a player process is killed at random
// moments of a submission that the service accepts for the first 50 of 2,000
// cached plays. Afterwards every play is in the cache or accepted, and in
// both only when the kill came before the player could read the reply.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
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

TEST(ScrobbleCacheCrash, KilledAnywhereInAPartlyAcceptedSubmissionNoPlayIsLost) {
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
    int untouched = 0;
    for (int run = 0; run <= 20; ++run) {  // run 0 is not killed: it measures the window
        SCOPED_TRACE("run " + std::to_string(run));
        TempFolder profile;
        std::filesystem::create_directories(profile.path() / "cache");
        const auto cacheFile = profile.path() / "cache" / "scrobble.cache";
        std::ofstream(cacheFile, std::ios::binary) << original;
        const size_t requests = fake.Requests("track.scrobble").size();
        const size_t accepted = fake.Scrobbles().size();
        const pid_t player = StartPlayer(profile.path(), fake.Address(), due);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (fake.Requests("track.scrobble").size() == requests && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const auto answered = Clock::now();
        if (run == 0) {
            while (ReadFileBytes(cacheFile) == original && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            window = (Clock::now() - answered) * 3 / 2;
        } else {
            std::uniform_int_distribution<int64_t> moment(0, window.count());
            std::this_thread::sleep_for(Clock::duration(moment(random)));
            kill(player, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(player, &status, 0), player);
        ASSERT_TRUE(run > 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0));

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
        const bool whole = bytes == original;
        untouched += whole ? 1 : 0;
        for (int i = 0; i < 2000; ++i) {
            const int64_t time = kStartTime - 100000 + i;
            // In both only when the kill came before the reply could be acted on.
            ASSERT_EQ(inCache[time] + inAccepted[time], whole ? 1 + inAccepted[time] : 1) << time;
            ASSERT_LE(inAccepted[time], 1) << time;
        }
    }
    // Some kills must have come after the cache was replaced.
    EXPECT_LT(untouched, 20);
}

}  // namespace
}  // namespace kiln::test
