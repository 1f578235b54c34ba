// Track metadata, item fields and the default templates, on real files made by
// the sample generator in a scratch folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/wavfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/sample_media.h"
#include "host/title_format.h"
#include "host/track_info.h"

namespace kiln::host {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDec4 = 1796390739;  // 04-12-2026 13:25:39 UTC

void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

class TrackInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetZone("UTC0");
        char pattern[] = "/tmp/kiln_host_format_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::wstring Wide(const fs::path& p) {
        std::u32string u = p.u32string();
        return std::wstring(u.begin(), u.end());
    }
    static ItemFields FieldsOf(const std::wstring& location, int64_t now = kDec4) {
        return ItemFields(location, ReadTrackInfo(location), [now] { return now; });
    }
    static void WriteBytes(const fs::path& p, size_t n) { std::ofstream(p) << std::string(n, 'x'); }

    fs::path dir_;
};

TEST(TrackLocation, StreamTest) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"http://radio.example/live", true},
        {L"HTTPS://x", true},
        {L"mms://x", true},
        {L"rtsp://x", true},
        {L"icy://x", true},
        {L"cda://D,3", true},
        {L"zip://archive.zip,1", true},
        {L"a+b.c-d://x", true},
        {L"file:///home/a.wav", false},
        {L"FILE:///home/a.wav", false},
        {L"C:\\Music\\a.mp3", false},
        {L"c://x", false},
        {L"/home/me/a.mp3", false},
        {L"", false},
        {L"1ttp://x", false},
        {L"http:/x", false},
        {L"my file://x", false},
    };
    for (const auto& [location, stream] : cases) {
        EXPECT_EQ(IsStreamLocation(location), stream) << location;
    }
}

TEST(TrackLocation, LocalPath) {
    EXPECT_EQ(LocalPath(L"file:///tmp/a%20b%C3%A9.wav"), fs::path("/tmp/a bé.wav"));
    EXPECT_EQ(LocalPath(L"file://localhost/tmp/x.wav"), fs::path("/tmp/x.wav"));
    EXPECT_EQ(LocalPath(L"/tmp/ós 100%.wav"), fs::path("/tmp/\xC3\xB3s 100%.wav"));
    EXPECT_TRUE(LocalPath(L"http://x/a.wav").empty());
}

TEST(TrackLocation, LengthText) {
    const std::pair<int, const wchar_t*> cases[] = {
        {-5, L""},        {0, L""},           {5, L"0:05"},         {60, L"1:00"},
        {3599, L"59:59"}, {3600, L"1:00:00"}, {36125, L"10:02:05"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(FormatLength(seconds), text) << seconds;
    }
}

TEST_F(TrackInfoTest, SampleTagsReadBackExactly) {
    std::vector<SampleSpec> specs = DemoSampleSpecs();
    std::vector<fs::path> paths = WriteDemoSamples(dir_);
    ASSERT_EQ(paths.size(), specs.size());
    int withoutCover = 0;
    for (size_t i = 0; i < specs.size(); ++i) {
        const SampleSpec& s = specs[i];
        SCOPED_TRACE(s.fileName);
        EXPECT_EQ(paths[i], dir_ / s.fileName);
        TrackInfo t = ReadTrackInfo(Wide(paths[i]));
        EXPECT_TRUE(t.found);
        EXPECT_EQ(t.title, s.title);
        EXPECT_EQ(t.artist, s.artist);
        EXPECT_EQ(t.album, s.album);
        EXPECT_EQ(t.albumArtist, s.albumArtist);
        EXPECT_EQ(t.trackNumber, s.trackNumber);
        EXPECT_EQ(t.lengthSeconds, s.seconds);
        EXPECT_EQ(t.bitrate, kSampleRate * 8 / 1000);
        EXPECT_FALSE(t.isVideo);
        EXPECT_GE(s.seconds, 35);
        EXPECT_LE(s.seconds, 200);

        TagLib::RIFF::WAV::File file(paths[i].c_str());
        const TagLib::ID3v2::FrameList& pictures = file.ID3v2Tag()->frameListMap()["APIC"];
        ASSERT_EQ(pictures.size(), s.withCover ? 1u : 0u);
        if (!s.withCover) {
            ++withoutCover;
            continue;
        }
        auto* apic = static_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front());
        EXPECT_EQ(apic->type(), TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        EXPECT_EQ(apic->mimeType(), s.coverAsPng ? "image/png" : "image/jpeg");
        TagLib::ByteVector data = apic->picture();
        int w = 0, h = 0, n = 0;
        unsigned char* pixels =
            stbi_load_from_memory(reinterpret_cast<const unsigned char*>(data.data()),
                                  static_cast<int>(data.size()), &w, &h, &n, 3);
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(w, s.coverWidth);
        EXPECT_EQ(h, s.coverHeight);
        const unsigned char* centre = pixels + (static_cast<size_t>(h / 2) * w + w / 2) * 3;
        const int tolerance = s.coverAsPng ? 0 : 6;
        for (int c = 0; c < 3; ++c) {
            int expected = static_cast<int>((s.coverColour >> (16 - 8 * c)) & 0xFF);
            EXPECT_NEAR(centre[c], expected, tolerance) << "channel " << c;
        }
        stbi_image_free(pixels);
    }
    EXPECT_EQ(withoutCover, 1);
}

TEST_F(TrackInfoTest, SampleRejectsBadSpecs) {
    SampleSpec noName;
    noName.seconds = 1;
    EXPECT_TRUE(WriteSampleTrack(dir_, noName).empty());
    SampleSpec badCover;
    badCover.fileName = "c.wav";
    badCover.withCover = true;
    badCover.coverWidth = 0;
    EXPECT_TRUE(WriteSampleTrack(dir_, badCover).empty());
    SampleSpec nested;
    nested.fileName = "n.wav";
    nested.seconds = 2;
    EXPECT_EQ(ReadTrackInfo(Wide(WriteSampleTrack(dir_ / "a" / "b", nested))).lengthSeconds, 2);
}

TEST_F(TrackInfoTest, UnreadableLocations) {
    WriteBytes(dir_ / "notes.txt", 100);
    WriteBytes(dir_ / "fake.flac", 100);
    for (const fs::path& p : {dir_ / "notes.txt", dir_ / "fake.flac", dir_ / "missing.wav", dir_}) {
        EXPECT_FALSE(ReadTrackInfo(Wide(p)).found) << p;
    }
    EXPECT_FALSE(ReadTrackInfo(L"http://radio.example/live.wav").found);
    EXPECT_TRUE(ReadTrackInfo(Wide(dir_ / "clip.MKV")).isVideo);
    EXPECT_TRUE(ReadTrackInfo(L"http://x/movie.webm?t=3").isVideo);
    EXPECT_FALSE(ReadTrackInfo(L"http://x/movie.webm/live").isVideo);

    std::wstring value;
    EXPECT_TRUE(FieldsOf(Wide(dir_ / "clip.mov")).Field(L"type", value));
    EXPECT_EQ(value, L"1");
    EXPECT_TRUE(FieldsOf(Wide(dir_ / "fake.flac")).Field(L"type", value));
    EXPECT_EQ(value, L"0");
}

TEST_F(TrackInfoTest, SizeFields) {
    fs::create_directory(dir_ / "sub");
    WriteBytes(dir_ / "a.wav", 10);
    WriteBytes(dir_ / "b.txt", 20);
    WriteBytes(dir_ / "c", 30);
    WriteBytes(dir_ / "sub" / "big", 1000);
    struct Row {
        std::wstring location;
        const wchar_t* fileSize;
        const wchar_t* folderSize;
    };
    const Row rows[] = {
        {Wide(dir_ / "a.wav"), L"10", L"60"},
        {L"file://" + Wide(dir_ / "b.txt"), L"20", L"60"},
        {Wide(dir_ / "gone.wav"), nullptr, L"60"},
        {Wide(dir_ / "nowhere" / "x.wav"), nullptr, nullptr},
        {L"http://radio.example/live", nullptr, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.location);
        ItemFields fields = FieldsOf(r.location);
        for (const auto& [name, expected] :
             {std::pair{L"file_size", r.fileSize}, std::pair{L"folder_size", r.folderSize}}) {
            std::wstring value;
            EXPECT_EQ(fields.Field(name, value), expected != nullptr) << name;
            if (expected != nullptr) {
                EXPECT_EQ(value, expected) << name;
            }
        }
    }
}

TEST_F(TrackInfoTest, ClockFieldsFollowTheLocalZone) {
    const int64_t newYearsEve = 1798759800;  // 31-12-2026 23:30:00 UTC
    auto format = [](int64_t now) {
        return FormatTitle(L"%date% %time%", FieldsOf(L"http://x", now), TitleMode::Plain);
    };
    EXPECT_EQ(format(newYearsEve), L"31-12-2026 23:30:00");
    SetZone("XYZ-1");
    EXPECT_EQ(format(newYearsEve), L"01-01-2027 00:30:00");
    SetZone("UTC0");
}

// The settings' default templates, each in the mode its caller uses.
TEST_F(TrackInfoTest, DefaultTemplates) {
    SampleSpec tagged;
    tagged.fileName = "tagged.wav";
    tagged.title = L"Highway Cover";
    tagged.artist = L"AC/DC Tribute";
    tagged.seconds = 200;
    SampleSpec untagged;
    untagged.fileName = "untitled take.wav";
    untagged.seconds = 61;
    const std::wstring taggedPath = Wide(WriteSampleTrack(dir_, tagged));
    const std::wstring untaggedPath = Wide(WriteSampleTrack(dir_, untagged));
    const std::wstring stream = L"http://radio.example:8000/live";
    ASSERT_FALSE(taggedPath.empty());
    ASSERT_FALSE(untaggedPath.empty());

    const std::pair<std::wstring, TitleMode> templates[] = {
        {L"$pathsafe(kiln_log_%date%.txt)", TitleMode::FileName},
        {L"%date% - %time% - \"%artist%\" - \"%title%\" - %length%", TitleMode::Plain},
        {L"$pathsafe(kiln_log_now.txt)", TitleMode::FileName},
        {L"%artist% - %title%", TitleMode::Plain},
        {L"♫ [%artist% - ]$if2(%title%,$filepart(%filename%)) ♫", TitleMode::FileName},
        {L"Playing: [%artist% - ]$if2(%title%,%filename%)", TitleMode::FileName},
    };
    struct Item {
        std::wstring location;
        std::wstring expected[6];
    };
    const Item items[] = {
        {taggedPath,
         {L"kiln_log_04-12-2026.txt",
          L"04-12-2026 - 13:25:39 - \"AC/DC Tribute\" - \"Highway Cover\" - 3:20",
          L"kiln_log_now.txt", L"AC/DC Tribute - Highway Cover",
          L"♫ AC/DC Tribute - Highway Cover ♫", L"Playing: AC/DC Tribute - Highway Cover"}},
        {untaggedPath,
         {L"kiln_log_04-12-2026.txt", L"04-12-2026 - 13:25:39 - \"\" - \"\" - 1:01",
          L"kiln_log_now.txt", L" - ", L"♫ untitled take.wav ♫", L"Playing: " + untaggedPath}},
        {stream,
         {L"kiln_log_04-12-2026.txt", L"04-12-2026 - 13:25:39 - \"\" - \"\" - ",
          L"kiln_log_now.txt", L" - ", L"♫ live ♫", L"Playing: " + stream}},
    };
    for (const Item& item : items) {
        ItemFields fields = FieldsOf(item.location);
        for (size_t i = 0; i < std::size(templates); ++i) {
            EXPECT_EQ(FormatTitle(templates[i].first, fields, templates[i].second),
                      item.expected[i])
                << item.location << " / " << templates[i].first;
        }
    }
}

}  // namespace
}  // namespace kiln::host
