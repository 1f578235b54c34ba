// Track metadata, item fields and the default templates, on files made by the
// sample generator in a scratch folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/sample_media.h"
#include "services/paths.h"
#include "services/title_format.h"
#include "services/track_info.h"
#include "support/plugin_host.h"

namespace kiln::host {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDec4 = 1796390739;  // 04-12-2026 13:25:39 UTC

void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

ItemFields FieldsOf(const std::wstring& location, int64_t now = kDec4) {
    return ItemFields(location, ReadTrackInfo(location), [now] { return now; });
}

std::wstring Field(const ItemFields& fields, const wchar_t* name) {
    std::wstring value;
    return fields.Field(name, value) ? value : L"(none)";
}

TEST(TrackLocation, StreamsLocalPathsAndLengths) {
    for (const wchar_t* stream :
         {L"HTTPS://x", L"mms://x", L"cda://D,3", L"zip://a.zip,1", L"a+b.c-d://x"}) {
        EXPECT_TRUE(IsStreamLocation(stream)) << stream;
    }
    for (const wchar_t* local : {L"FILE:///home/a.wav", L"C:\\Music\\a.mp3", L"c://x",
                                 L"/home/a.mp3", L"", L"1ttp://x", L"http:/x", L"my file://x"}) {
        EXPECT_FALSE(IsStreamLocation(local)) << local;
    }
    EXPECT_EQ(LocalPath(L"file:///tmp/a%20b%C3%A9.wav"), fs::path("/tmp/a b\xC3\xA9.wav"));
    EXPECT_EQ(LocalPath(L"file://localhost/tmp/x.wav"), fs::path("/tmp/x.wav"));
    EXPECT_EQ(LocalPath(L"/tmp/\u00F3s 100%.wav"), fs::path("/tmp/\xC3\xB3s 100%.wav"));
    EXPECT_TRUE(LocalPath(L"http://x/a.wav").empty());
    EXPECT_EQ(FormatLength(0), L"");
    EXPECT_EQ(FormatLength(3599), L"59:59");
    EXPECT_EQ(FormatLength(3725), L"1:02:05");
}

class TrackInfoTest : public ::testing::Test {
  protected:
    void SetUp() override { SetZone("UTC0"); }
    std::wstring In(const fs::path& name) const { return FromFsPath(dir_.path() / name); }
    void WriteBytes(const fs::path& name, size_t n) const {
        std::ofstream(dir_.path() / name) << std::string(n, 'x');
    }
    test::TempFolder dir_;
};

// Every demo file is written, non-ASCII names included, and reads back as made.
TEST_F(TrackInfoTest, DemoSamplesReadBack) {
    const std::vector<SampleRecipe> recipes = DemoSampleRecipes();
    const std::vector<fs::path> paths = WriteDemoSamples(dir_.path());
    ASSERT_EQ(paths.size(), recipes.size());
    for (size_t i = 0; i < recipes.size(); ++i) {
        const TrackInfo t = ReadTrackInfo(FromFsPath(paths[i]));
        EXPECT_EQ(paths[i], dir_.path() / recipes[i].fileName);
        // Texts beyond the first plane (the second album's emoji) stay one character.
        EXPECT_EQ(t.title + L"|" + t.artist + L"|" + t.album,
                  recipes[i].title + L"|" + recipes[i].artist + L"|" + recipes[i].album);
        EXPECT_EQ(t.lengthSeconds, recipes[i].seconds);
    }
    EXPECT_TRUE(WriteSampleTrack(dir_.path(), SampleRecipe{}).empty()) << "no file name";
}

TEST_F(TrackInfoTest, UnreadableFilesVideoAndSizes) {
    fs::create_directory(dir_.path() / "sub");
    WriteBytes("notes.txt", 10);
    WriteBytes("fake.flac", 20);
    WriteBytes("sub/big", 1000);
    for (const std::wstring& location : {In("notes.txt"), In("fake.flac"), In("missing.wav"),
                                         In(""), std::wstring(L"http://radio.example/a.wav")}) {
        EXPECT_FALSE(ReadTrackInfo(location).found) << location;
    }
    EXPECT_TRUE(ReadTrackInfo(In("clip.MKV")).isVideo);
    EXPECT_TRUE(ReadTrackInfo(L"http://x/movie.webm?t=3").isVideo);
    EXPECT_FALSE(ReadTrackInfo(L"http://x/movie.webm/live").isVideo);
    EXPECT_EQ(Field(FieldsOf(In("clip.mov")), L"type"), L"1");
    EXPECT_EQ(Field(FieldsOf(In("fake.flac")), L"type"), L"0");

    // Sizes count the regular files directly in the item's folder.
    auto sizes = [](const std::wstring& location) {
        const ItemFields fields = FieldsOf(location);
        return Field(fields, L"file_size") + L" in " + Field(fields, L"folder_size");
    };
    EXPECT_EQ(sizes(In("notes.txt")), L"10 in 30");
    EXPECT_EQ(sizes(L"file://" + In("fake.flac")), L"20 in 30");
    EXPECT_EQ(sizes(In("gone.wav")), L"(none) in 30");
    EXPECT_EQ(sizes(In("nowhere/x.wav")), L"(none) in (none)");
    EXPECT_EQ(sizes(L"http://radio.example/live"), L"(none) in (none)");
}

TEST_F(TrackInfoTest, ClockFieldsFollowTheLocalZone) {
    const ItemFields fields = FieldsOf(L"http://x", 1798759800);  // 31-12-2026 23:30:00 UTC
    EXPECT_EQ(FormatTitle(L"%date% %time%", fields, TitleMode::Plain), L"31-12-2026 23:30:00");
    SetZone("XYZ-1");
    EXPECT_EQ(FormatTitle(L"%date% %time%", fields, TitleMode::Plain), L"01-01-2027 00:30:00");
    SetZone("UTC0");
}

// The settings' default templates for items without tags; tagged items go
// through them end to end in the output suites.
TEST_F(TrackInfoTest, DefaultTemplatesForUntaggedFilesAndStreams) {
    const std::wstring file =
        FromFsPath(WriteSampleTrack(dir_.path(), {.fileName = "untitled take.wav", .seconds = 61}));
    const std::wstring stream = L"http://radio.example:8000/live";
    ASSERT_FALSE(file.empty());
    const struct {
        std::wstring format;
        TitleMode mode;
        std::wstring file, stream;
    } cases[] = {
        {L"%date% - %time% - \"%artist%\" - \"%title%\" - %length%", TitleMode::Plain,
         L"04-12-2026 - 13:25:39 - \"\" - \"\" - 1:01", L"04-12-2026 - 13:25:39 - \"\" - \"\" - "},
        {L"\u266B [%artist% - ]$if2(%title%,$filepart(%filename%)) \u266B", TitleMode::FileName,
         L"\u266B untitled take.wav \u266B", L"\u266B live \u266B"},
        {L"Playing: [%artist% - ]$if2(%title%,%filename%)", TitleMode::FileName,
         L"Playing: " + file, L"Playing: " + stream},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatTitle(c.format, FieldsOf(file), c.mode), c.file) << c.format;
        EXPECT_EQ(FormatTitle(c.format, FieldsOf(stream), c.mode), c.stream) << c.format;
    }
}

}  // namespace
}  // namespace kiln::host
