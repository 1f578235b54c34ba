// The playback history file, byte for byte, written as a player drives the plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "host/sample_media.h"
#include "services/paths.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

// 4 December 2026, 13:25:39 UTC.
constexpr int64_t kMoment = 1796390739;

class HistoryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Marker and field times are local; a fixed zone makes them exact.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetUp() override {
        track_ = host::WriteSampleTrack(
            music_.path(),
            {.fileName = "song.wav", .title = L"Hafið", .artist = L"Glóð Kór", .seconds = 35});
        ASSERT_FALSE(track_.empty());
    }

    // History on at `now`, the markers as `prepost` says, lines as `format`.
    void Start(PluginHost& plugin, int64_t now, int prepost, const wchar_t* format) {
        plugin.host().SetNow(now);
        plugin.SetInt(L"logging_on", 1);
        plugin.SetInt(L"prepost", prepost);
        if (format) {
            plugin.SetText(L"format", format);
        }
        plugin.Start();
    }

    static std::filesystem::path LogFile(PluginHost& plugin, const std::string& date) {
        return plugin.LogsFolder() / ("kiln_log_" + date + ".txt");
    }

    static bool HasLines(const std::filesystem::path& file, long lines) {
        const std::string text = ReadFileBytes(file);
        return std::count(text.begin(), text.end(), '\n') >= lines;
    }

    TempFolder music_;
    std::filesystem::path track_;
};

TEST_F(HistoryTest, HeaderEntriesAndFooterByteForByte) {
    PluginHost plugin;
    Start(plugin, kMoment, 1, nullptr);
    auto file = LogFile(plugin, "04-12-2026");
    plugin.Play(track_);
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 2); }));
    plugin.host().AdvanceClock(61);
    plugin.Play(track_);  // the same item again: a second, identical line but for the time
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 3); }));
    plugin.host().AdvanceClock(5);
    plugin.Quit();
    EXPECT_EQ(
        ReadFileBytes(file),
        "<<< started @ 04-12-2026 - 13:25:39 >>>\r\n"
        "04-12-2026 - 13:25:39 - \"Gl\xC3\xB3\xC3\xB0 K\xC3\xB3r\" - \"Hafi\xC3\xB0\" - 0:35\r\n"
        "04-12-2026 - 13:26:40 - \"Gl\xC3\xB3\xC3\xB0 K\xC3\xB3r\" - \"Hafi\xC3\xB0\" - 0:35\r\n"
        "<<< stopped @ 04-12-2026 - 13:26:45 >>>\r\n");
}

// One item without markers. Names come from templates: "a/../b" is normalised
// before it is joined to the folder, so a folder that does not exist is never needed.
TEST_F(HistoryTest, SingleEntries) {
    const struct {
        const wchar_t *format, *file, *stream;
        std::string name, expected;
    } cases[] = {
        // A line that formats to nothing still ends.
        {L"[%comment%]", nullptr, nullptr, "kiln_log_04-12-2026.txt", "\r\n"},
        {L"$if2(%title%,%filename%) [%length%]", nullptr, L"http://radio.example/live.mp3",
         "kiln_log_04-12-2026.txt", "http://radio.example/live.mp3 \r\n"},
        {L"%title%", L"missing/../history.txt", nullptr, "history.txt", "Hafi\xC3\xB0\r\n"},
    };
    for (const auto& c : cases) {
        PluginHost plugin;
        if (c.file) {
            plugin.SetText(L"file", c.file);
        }
        Start(plugin, kMoment, 0, c.format);
        const auto file = plugin.LogsFolder() / c.name;
        c.stream ? plugin.PlayStream(c.stream) : plugin.Play(track_);
        ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 1); })) << c.name;
        plugin.Quit();
        EXPECT_EQ(ReadFileBytes(file), c.expected);
    }
}

// A tag's own line break or tab would split a one-line output or glue its
// words together: a run of them becomes one space, in the history and the
// now-playing line alike.
TEST_F(HistoryTest, ControlCharactersInTagsBecomeOneSpace) {
    const auto odd = host::WriteSampleTrack(music_.path(), {.fileName = "odd.wav",
                                                            .title = L"First line\r\n\tSecond",
                                                            .artist = L"A\tB",
                                                            .seconds = 35});
    PluginHost plugin;
    plugin.SetInt(L"now_logging_on", 1);
    plugin.SetText(L"now_format", L"%artist% - %title%");
    Start(plugin, kMoment, 0, L"%artist% - %title%");
    const auto file = LogFile(plugin, "04-12-2026");
    plugin.Play(odd);
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 1); }));
    plugin.Quit();
    EXPECT_EQ(ReadFileBytes(file), "A B - First line Second\r\n");
    EXPECT_EQ(ReadFileBytes(plugin.LogsFolder() / "kiln_log_now.txt"),
              "A B - First line Second\r\n");
}

TEST_F(HistoryTest, FooterAfterMidnightGoesToTheFileOfTheLastEntry) {
    PluginHost plugin;
    Start(plugin, 1796428790, 1, L"%title%");  // 04-12-2026 23:59:50
    auto before = LogFile(plugin, "04-12-2026");
    plugin.Play(track_);
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(before, 2); }));
    plugin.host().AdvanceClock(20);  // 05-12-2026 00:00:10
    plugin.Quit();
    EXPECT_EQ(ReadFileBytes(before),
              "<<< started @ 04-12-2026 - 23:59:50 >>>\r\nHafi\xC3\xB0\r\n"
              "<<< stopped @ 05-12-2026 - 00:00:10 >>>\r\n");
    EXPECT_FALSE(std::filesystem::exists(LogFile(plugin, "05-12-2026")));
}

TEST_F(HistoryTest, AFolderThatCannotBeMadeWritesNothingAndBreaksNothing) {
    TempFolder blocker;
    auto notAFolder = blocker.path() / "file";
    { std::ofstream(notAFolder) << "x"; }
    PluginHost plugin;
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"now_logging_on", 1);
    plugin.SetText(L"log_folder", host::FromFsPath(notAFolder / "Logs").c_str());
    plugin.Start();
    plugin.Play(track_);
    // The now-playing file, written after the history line, shows the worker went on.
    auto now = plugin.LogsFolder() / "kiln_log_now.txt";
    ASSERT_TRUE(plugin.RunUntil([&] { return std::filesystem::exists(now); }));
    plugin.Quit();
    EXPECT_FALSE(std::filesystem::exists(notAFolder / "Logs"));
    EXPECT_EQ(ReadFileBytes(notAFolder), "x");
}

// A cover that cannot be written must not leave the previous item's in place.
TEST_F(HistoryTest, FailedArtworkWriteRemovesThePreviousImage) {
    const auto covered = host::WriteSampleTrack(
        music_.path(),
        {.fileName = "cover.wav", .title = L"Slip", .seconds = 35, .withCover = true});
    PluginHost plugin;
    plugin.SetInt(L"now_logging_on", 2);
    plugin.SetText(L"art_now_file", L"art.png");
    plugin.Start();
    const auto art = plugin.LogsFolder() / "art.png";
    plugin.Play(covered);
    // Decoding and encoding the cover is slow under the sanitizers.
    ASSERT_TRUE(plugin.RunUntil([&] { return std::filesystem::exists(art); }, 30000));
    // The image is written beside its place first; make that impossible.
    std::filesystem::create_directories(plugin.LogsFolder() / "art.png.part");
    plugin.Play(covered);
    EXPECT_TRUE(plugin.RunUntil([&] { return !std::filesystem::exists(art); }, 30000));
}

}  // namespace
}  // namespace kiln::test
