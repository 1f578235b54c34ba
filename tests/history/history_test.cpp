// The playback history file, byte for byte, written as a player drives the plug-in.
#include <gtest/gtest.h>

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
        host::SampleRecipe recipe;
        recipe.fileName = "song.wav";
        recipe.title = L"Hafið";
        recipe.artist = L"Glóð Kór";
        recipe.seconds = 35;
        track_ = host::WriteSampleTrack(music_.path(), recipe);
        ASSERT_FALSE(track_.empty());
    }

    std::filesystem::path LogFile(PluginHost& plugin, const std::string& date) const {
        return plugin.LogsFolder() / ("kiln_log_" + date + ".txt");
    }

    static bool HasLines(const std::filesystem::path& file, size_t lines) {
        std::string text = ReadFileBytes(file);
        size_t count = 0;
        for (size_t at = text.find("\r\n"); at != std::string::npos;
             at = text.find("\r\n", at + 2)) {
            ++count;
        }
        return count >= lines;
    }

    TempFolder music_;
    std::filesystem::path track_;
};

TEST_F(HistoryTest, HeaderEntriesAndFooterByteForByte) {
    PluginHost plugin;
    plugin.host().SetNow(kMoment);
    plugin.SetInt(L"logging_on", 1);
    plugin.Start();
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

TEST_F(HistoryTest, WithoutMarkersOnlyEntriesAndAnEmptyLineStillEnds) {
    PluginHost plugin;
    plugin.host().SetNow(kMoment);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"[%comment%]");  // formats to nothing
    plugin.Start();
    auto file = LogFile(plugin, "04-12-2026");
    plugin.Play(track_);
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 1); }));
    plugin.Quit();
    EXPECT_EQ(ReadFileBytes(file), "\r\n");
}

TEST_F(HistoryTest, FooterAfterMidnightGoesToTheFileOfTheLastEntry) {
    PluginHost plugin;
    plugin.host().SetNow(1796428790);  // 04-12-2026 23:59:50
    plugin.SetInt(L"logging_on", 1);
    plugin.SetText(L"format", L"%title%");
    plugin.Start();
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

TEST_F(HistoryTest, StreamsAreLoggedToo) {
    PluginHost plugin;
    plugin.host().SetNow(kMoment);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"$if2(%title%,%filename%) [%length%]");
    plugin.Start();
    auto file = LogFile(plugin, "04-12-2026");
    plugin.PlayStream(L"http://radio.example/live.mp3");
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(file, 1); }));
    plugin.Quit();
    EXPECT_EQ(ReadFileBytes(file), "http://radio.example/live.mp3 \r\n");
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

// Output names come from templates: "a/../b" is normalised before it is
// joined to the folder, so a folder that does not exist is never needed.
TEST_F(HistoryTest, FormattedFileNamesAreNormalised) {
    PluginHost plugin;
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"%title%");
    plugin.SetText(L"file", L"missing/../history.txt");
    plugin.Start();
    plugin.Play(track_);
    ASSERT_TRUE(plugin.RunUntil([&] { return HasLines(plugin.LogsFolder() / "history.txt", 1); }));
}

// A cover that cannot be written must not leave the previous item's in place.
TEST_F(HistoryTest, FailedArtworkWriteRemovesThePreviousImage) {
    host::SampleRecipe recipe{.fileName = "cover.wav", .title = L"Slip", .seconds = 35};
    recipe.withCover = true;
    const auto covered = host::WriteSampleTrack(music_.path(), recipe);
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
