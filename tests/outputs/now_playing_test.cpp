// The now-playing text and artwork files, as a player drives the plug-in and
// the host's artwork service answers.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "host/sample_media.h"
#include "picture.h"
#include "services/artwork.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

// Plays `file` and runs the loop until the text file holds `line` and the
// artwork request of this play has been answered.
bool PlayAndSettle(PluginHost& plugin, const fs::path& file, const std::string& line) {
    const uint64_t answered = host::ArtworkCallbacksDelivered();
    plugin.Play(file);
    return plugin.RunUntil([&] {
        return host::ArtworkCallbacksDelivered() > answered &&
               ReadFileBytes(plugin.LogsFolder() / "kiln_log_now.txt") == line;
    });
}

TEST(NowPlaying, ArtworkFormatFollowsTheNameSizeFollowsTheModeAndNoArtworkRemovesIt) {
    // The demo's second track has a 120 x 80 PNG cover and non-ASCII texts; its fourth none.
    TempFolder music;
    const std::vector<fs::path> tracks = host::WriteDemoSamples(music.path());
    ASSERT_EQ(tracks.size(), 4u);
    const uint32_t coverColour = host::DemoSampleRecipes()[1].coverColour;

    const struct {
        const char* name;
        const wchar_t* file;
        int mode, limitW, limitH;
        const char* written;
    } cases[] = {
        {"png name, mode 1 shrinks to the binding height, rounded", L"now.png", 1, 100, 45,
         "png 68x45"},
        {"unwritable extension gets JPEG, mode 3 enlarges", L"cover.webp", 3, 300, 300,
         "jpeg 300x200"},
        {"no extension gets JPEG, mode 0 keeps the size", L"$pathsafe(art)", 0, 60, 60,
         "jpeg 120x80"},
        {"bitmap name, mode 1 leaves smaller art alone", L"now.BMP", 1, 600, 600, "bmp 120x80"},
        {"mode 2 resizes nothing", L"now playing.jpg", 2, 60, 60, "jpeg 120x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PluginHost plugin;
        plugin.SetInt(L"now_logging_on", 3);
        plugin.SetText(L"art_now_file", c.file);
        plugin.SetInt(L"art_limit_upscale", c.mode);
        plugin.SetInt(L"art_w_limit", c.limitW);
        plugin.SetInt(L"art_h_limit", c.limitH);
        plugin.Start();
        // UTF-8 without a byte-order mark, one line ending in CR LF.
        ASSERT_TRUE(
            PlayAndSettle(plugin, tracks[1],
                          "Gl\xC3\xB3\xC3\xB0 K\xC3\xB3r - Hafi\xC3\xB0 vi\xC3\xB0 \xC3\x93s\r\n"));
        // The name stays as the template gives it, whatever the format.
        const fs::path art =
            plugin.LogsFolder() / (c.file[0] == L'$' ? fs::path("art") : fs::path(c.file));
        Picture picture = ReadPicture(ReadFileBytes(art));
        EXPECT_EQ(picture.kind + " " + std::to_string(picture.width) + "x" +
                      std::to_string(picture.height),
                  c.written);
        EXPECT_TRUE(Near(picture.Centre(), coverColour, 8)) << std::hex << picture.Centre();

        // No artwork: the previous item's image must not stay.
        ASSERT_TRUE(PlayAndSettle(plugin, tracks[3], "Field Recorder - Rain on the Roof\r\n"));
        // The text file alone remains.
        EXPECT_EQ(
            std::distance(fs::directory_iterator(plugin.LogsFolder()), fs::directory_iterator()),
            1);
    }
}

}  // namespace
}  // namespace kiln::test
