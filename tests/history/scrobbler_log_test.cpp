// The portable scrobbler log, read back by a reader of the format's own: the
// Audioscrobbler portable-player log 1.1 ("#AUDIOSCROBBLER/1.1", "#TZ/...",
// "#CLIENT/...", then one play per line: artist, album, title, track number,
// duration in seconds, rating L or S, Unix start time, MusicBrainz track id,
// separated by tabs).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/sample_media.h"
#include "support/plugin_host.h"

extern char** environ;

namespace kiln::test {
namespace {

struct LoggedPlay {
    std::string artist, album, title, track, duration, rating, timestamp, trackId;
};

struct PortableLog {
    std::vector<std::string> header;
    std::vector<LoggedPlay> plays;
    std::string error;  // empty when every line is of the format
};

PortableLog ReadPortableLog(const std::string& bytes) {
    PortableLog log;
    std::istringstream in(bytes);
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (in.eof() && !bytes.empty() && bytes.back() != '\n') {
            log.error = "a line without its end";
        }
        if (!line.empty() && line[0] == '#') {
            if (!log.plays.empty()) {
                log.error = "a header line after the plays";
            }
            log.header.push_back(line);
            continue;
        }
        std::vector<std::string> fields;
        std::string field;
        std::istringstream split(line);
        while (std::getline(split, field, '\t')) {
            fields.push_back(field);
        }
        if (!line.empty() && line.back() == '\t') {
            fields.push_back("");
        }
        if (fields.size() < 7 || fields.size() > 8) {
            log.error = "line " + std::to_string(lineNumber) + " has " +
                        std::to_string(fields.size()) + " fields";
            continue;
        }
        fields.resize(8);
        log.plays.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                             fields[6], fields[7]});
    }
    if (log.header.size() != 3 || log.header[0] != "#AUDIOSCROBBLER/1.1" ||
        log.header[1].rfind("#TZ/", 0) != 0 || log.header[2].rfind("#CLIENT/", 0) != 0) {
        log.error = "no header of the format";
    }
    return log;
}

// 4 December 2026, 13:25:39 UTC.
constexpr int64_t kMoment = 1796390739;

// Plays heard past their scrobble point are "L", the others "S", whether they
// end by the next start, a stop or quit; pauses do not count as heard.
TEST(ScrobblerLog, EachPlayIsOneLineRatedByWhatWasHeard) {
    TempFolder music;
    const auto first = host::WriteSampleTrack(music.path(), {.fileName = "a.wav",
                                                             .title = L"Hafi\u00F0\tlag",
                                                             .artist = L"Gl\u00F3\u00F0 K\u00F3r",
                                                             .album = L"Eldur",
                                                             .trackNumber = 7,
                                                             .seconds = 40});
    const auto second = host::WriteSampleTrack(
        music.path(), {.fileName = "b.wav", .title = L"Short", .artist = L"B", .seconds = 20});
    PluginHost plugin;
    plugin.host().SetNow(kMoment);
    plugin.SetInt(L"scrobbler_log", 1);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"%title%");
    plugin.Start();
    const auto history = plugin.LogsFolder() / "kiln_log_04-12-2026.txt";
    auto handled = [&](long lines) {
        return plugin.RunUntil([&] {
            const std::string text = ReadFileBytes(history);
            return std::count(text.begin(), text.end(), '\n') >= lines;
        });
    };
    plugin.Play(first);  // heard 25 of 40 s: listened
    ASSERT_TRUE(handled(1));
    plugin.host().AdvanceClock(25);
    plugin.Play(first);  // heard 10 s, paused 100 s, then 5 s: skipped
    ASSERT_TRUE(handled(2));
    plugin.host().AdvanceClock(10);
    plugin.Pause();
    plugin.host().AdvanceClock(100);
    plugin.Resume(10000);
    plugin.host().AdvanceClock(5);
    plugin.Play(second);  // 20 s long: never a listen; ended by a stop
    ASSERT_TRUE(handled(3));
    plugin.host().AdvanceClock(20);
    plugin.Stop();
    plugin.Play(first);  // ended by quit after 30 s: listened
    ASSERT_TRUE(handled(4));
    plugin.host().AdvanceClock(30);
    plugin.Quit();

    const std::string bytes = ReadFileBytes(plugin.LogsFolder() / ".scrobbler.log");
    SCOPED_TRACE(bytes);
    const PortableLog log = ReadPortableLog(bytes);
    EXPECT_EQ(log.error, "");
    ASSERT_EQ(log.plays.size(), 4u);
    const std::string artist = "Gl\xC3\xB3\xC3\xB0 K\xC3\xB3r";
    const std::string title = "Hafi\xC3\xB0 lag";  // the tag's tab is a space
    const int64_t starts[4] = {kMoment, kMoment + 25, kMoment + 140, kMoment + 160};
    const char* ratings[4] = {"L", "S", "S", "L"};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const LoggedPlay& play = log.plays[i];
        EXPECT_EQ(play.rating, ratings[i]);
        EXPECT_EQ(play.timestamp, std::to_string(starts[i]));
        EXPECT_EQ(play.artist, i == 2 ? "B" : artist);
        EXPECT_EQ(play.title, i == 2 ? "Short" : title);
        EXPECT_EQ(play.duration, i == 2 ? "20" : "40");
    }
    EXPECT_EQ(log.plays[0].album, "Eldur");
    EXPECT_EQ(log.plays[0].track, "7");
    EXPECT_EQ(log.plays[2].track, "");
}

// kill -9 at random moments of a player appending to the log, over and over,
// starting from the empty file that a kill between its creation and the first
// write leaves: the header still comes first, and only whole plays follow.
TEST(ScrobblerLog, KilledWhileAppendingLeavesTheHeaderAndWholeLinesOnly) {
    TempFolder music, profile;
    const std::string files[2] = {
        host::WriteSampleTrack(music.path(), {.fileName = "a.wav", .title = L"A", .seconds = 40})
            .string(),
        host::WriteSampleTrack(music.path(), {.fileName = "b.wav", .title = L"B", .seconds = 40})
            .string()};
    const auto log = profile.path() / "Logs" / ".scrobbler.log";
    std::filesystem::create_directories(log.parent_path());
    std::ofstream(log).close();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 3000);
    for (int run = 0; run < 8; ++run) {
        std::string args[] = {KILN_LOG_KILL_HELPER, profile.path().string(), files[0], files[1]};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
        pid_t player = 0;
        ASSERT_EQ(posix_spawn(&player, argv[0], nullptr, nullptr, argv, environ), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 + moment(random)));
        kill(player, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(player, &status, 0), player);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the player ended on its own: " << status;
    }
    const std::string bytes = ReadFileBytes(log);
    SCOPED_TRACE(bytes);
    const PortableLog read = ReadPortableLog(bytes);
    EXPECT_EQ(read.error, "");
    EXPECT_GE(read.plays.size(), 4u);
    for (const LoggedPlay& play : read.plays) {
        EXPECT_EQ(play.rating, "L");  // 40 s of a 40 s item: no line is a cut one
    }
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\t'), 7 * std::ssize(read.plays));
}

}  // namespace
}  // namespace kiln::test
