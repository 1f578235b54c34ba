// The now-playing text and artwork files, as a player drives the plug-in and
// the host's artwork service answers.
#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/artwork.h"
#include "host/sample_media.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kCoverColour = 0xff3366cc;

struct Picture {
    std::string kind;  // "png", "jpeg", "bmp" or what the bytes start with
    int width = 0;
    int height = 0;
    uint32_t centre = 0;  // ARGB
};

Picture ReadPicture(const fs::path& file) {
    Picture picture;
    std::string bytes = ReadFileBytes(file);
    if (bytes.rfind("\x89PNG\r\n\x1A\n", 0) == 0) {
        picture.kind = "png";
    } else if (bytes.rfind("\xFF\xD8\xFF", 0) == 0) {
        picture.kind = "jpeg";
    } else if (bytes.rfind("BM", 0) == 0) {
        picture.kind = "bmp";
    } else {
        picture.kind = bytes.substr(0, 4);
    }
    int channels = 0;
    unsigned char* rgba = stbi_load_from_memory(
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
        &picture.width, &picture.height, &channels, 4);
    if (rgba) {
        const unsigned char* p =
            rgba +
            (static_cast<size_t>(picture.height / 2) * picture.width + picture.width / 2) * 4;
        picture.centre =
            (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
        stbi_image_free(rgba);
    }
    return picture;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 0; shift < 32; shift += 8) {
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) -
                     static_cast<int>((b >> shift) & 0xFF)) > tolerance) {
            return false;
        }
    }
    return true;
}

class NowPlayingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::SampleSpec recipe;
        recipe.fileName = "02 Hafið.wav";
        recipe.title = L"Hafið við Ós";
        recipe.artist = L"Sigur Rós";
        recipe.seconds = 40;
        recipe.withCover = true;
        recipe.coverColour = kCoverColour;
        recipe.coverWidth = 120;
        recipe.coverHeight = 80;
        recipe.coverAsPng = true;
        withCover_ = host::WriteSampleTrack(music_.path(), recipe);

        recipe.fileName = "04 Rain.wav";
        recipe.title = L"Rain on the Roof";
        recipe.artist = L"Field Recorder";
        recipe.withCover = false;
        withoutCover_ = host::WriteSampleTrack(music_.path(), recipe);

        recipe.fileName = "05 Small.wav";
        recipe.title = L"Small";
        recipe.artist = L"Tiny";
        recipe.withCover = true;
        recipe.coverWidth = 40;
        recipe.coverHeight = 30;
        recipe.coverAsPng = false;
        smallCover_ = host::WriteSampleTrack(music_.path(), recipe);
        ASSERT_FALSE(withCover_.empty() || withoutCover_.empty() || smallCover_.empty());
    }

    // Plays `file` and runs the loop until the text file holds `line` and the
    // artwork request of this play has been answered.
    static bool PlayAndSettle(PluginHost& plugin, const fs::path& file, const fs::path& textFile,
                              const std::string& line) {
        const uint64_t answered = host::ArtworkCallbacksDelivered();
        plugin.Play(file);
        return plugin.RunUntil([&] {
            return host::ArtworkCallbacksDelivered() > answered && ReadFileBytes(textFile) == line;
        });
    }

    TempFolder music_;
    fs::path withCover_, withoutCover_, smallCover_;
};

TEST_F(NowPlayingTest, TextAndArtworkFollowEachItemAndStoredTwoMeansBoth) {
    PluginHost plugin;
    // 2 (artwork alone) is read as 3: the text file carries the line too.
    plugin.SetInt(L"now_logging_on", 2);
    plugin.SetText(L"art_now_file", L"now playing.png");
    plugin.SetInt(L"art_limit_upscale", 1);
    plugin.SetInt(L"art_w_limit", 60);
    plugin.SetInt(L"art_h_limit", 60);
    plugin.Start();
    const fs::path text = plugin.LogsFolder() / "kiln_log_now.txt";
    const fs::path art = plugin.LogsFolder() / "now playing.png";

    // UTF-8 without a byte-order mark, one line ending in CR LF.
    ASSERT_TRUE(PlayAndSettle(plugin, withCover_, text,
                              "Sigur R\xC3\xB3s - Hafi\xC3\xB0 vi\xC3\xB0 \xC3\x93s\r\n"));
    Picture first = ReadPicture(art);
    EXPECT_EQ(first.kind, "png");
    EXPECT_EQ(first.width, 60);
    EXPECT_EQ(first.height, 40);
    EXPECT_TRUE(Near(first.centre, kCoverColour, 2)) << std::hex << first.centre;

    // No artwork: the previous item's image must not stay.
    ASSERT_TRUE(
        PlayAndSettle(plugin, withoutCover_, text, "Field Recorder - Rain on the Roof\r\n"));
    EXPECT_FALSE(fs::exists(art));

    // Smaller than the limits: never enlarged in this mode.
    ASSERT_TRUE(PlayAndSettle(plugin, smallCover_, text, "Tiny - Small\r\n"));
    Picture small = ReadPicture(art);
    EXPECT_EQ(small.kind, "png");
    EXPECT_EQ(small.width, 40);
    EXPECT_EQ(small.height, 30);
}

TEST_F(NowPlayingTest, ArtworkFormatFollowsTheNameAndSizeFollowsTheMode) {
    struct Case {
        const char* name;
        const wchar_t* file;
        int mode, limitW, limitH;
        const char* kind;
        int width, height;
    };
    const Case cases[] = {
        {"unwritable extension gets JPEG, mode 3 enlarges", L"cover.webp", 3, 300, 300, "jpeg", 300,
         200},
        {"no extension gets JPEG, mode 0 keeps the size", L"$pathsafe(nowart)", 0, 60, 60, "jpeg",
         120, 80},
        {"bitmap name, mode 1 leaves smaller art alone", L"now.BMP", 1, 600, 600, "bmp", 120, 80},
        {"mode 2 resizes nothing", L"now.jpg", 2, 60, 60, "jpeg", 120, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PluginHost plugin;
        plugin.SetInt(L"now_logging_on", 3);
        plugin.SetText(L"now_format", L"%title%");
        plugin.SetText(L"art_now_file", c.file);
        plugin.SetInt(L"art_limit_upscale", c.mode);
        plugin.SetInt(L"art_w_limit", c.limitW);
        plugin.SetInt(L"art_h_limit", c.limitH);
        plugin.Start();
        ASSERT_TRUE(PlayAndSettle(plugin, withCover_, plugin.LogsFolder() / "kiln_log_now.txt",
                                  "Hafi\xC3\xB0 vi\xC3\xB0 \xC3\x93s\r\n"));
        plugin.Quit();
        std::vector<fs::path> written;
        for (const auto& entry : fs::directory_iterator(plugin.LogsFolder())) {
            if (entry.path().filename() != "kiln_log_now.txt") {
                written.push_back(entry.path().filename());
            }
        }
        // The name stays as the template gives it, whatever the format.
        ASSERT_EQ(written.size(), 1u);
        Picture picture = ReadPicture(plugin.LogsFolder() / written.front());
        EXPECT_EQ(written.front().wstring(),
                  std::wstring(c.file).find(L'$') == 0 ? L"nowart" : c.file);
        EXPECT_EQ(picture.kind, c.kind);
        EXPECT_EQ(picture.width, c.width);
        EXPECT_EQ(picture.height, c.height);
        EXPECT_TRUE(Near(picture.centre, kCoverColour, 8)) << std::hex << picture.centre;
    }
}

}  // namespace
}  // namespace kiln::test
