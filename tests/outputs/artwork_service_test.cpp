// The host's artwork service on real media files: where the picture comes
// from, how it is fitted, which thread delivers it and how images are written.
#include <gtest/gtest.h>
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/wavfile.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/artwork.h"
#include "host/paths.h"
#include "host/sample_media.h"
#include "host/substitute_host.h"
#include "host/text_services.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kBlue = 0xff3366cc;
constexpr uint32_t kGreen = 0xff22aa44;
constexpr uint32_t kRed = 0xffcc3322;

// A one-colour image in the format its extension names (".png", ".bmp", else JPEG).
std::string Encode(int width, int height, uint32_t colour, std::string ext) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = static_cast<unsigned char>(colour >> 16);
        rgb[i + 1] = static_cast<unsigned char>(colour >> 8);
        rgb[i + 2] = static_cast<unsigned char>(colour);
    }
    for (auto& ch : ext) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    std::string out;
    auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    };
    if (ext == ".png") {
        stbi_write_png_to_func(append, &out, width, height, 3, rgb.data(), width * 3);
    } else if (ext == ".bmp") {
        stbi_write_bmp_to_func(append, &out, width, height, 3, rgb.data());
    } else {
        stbi_write_jpg_to_func(append, &out, width, height, 3, rgb.data(), 95);
    }
    return out;
}

TagLib::ByteVector Bytes(const std::string& data) {
    return TagLib::ByteVector(data.data(), static_cast<unsigned>(data.size()));
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string Be(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

std::string Atom(const std::string& type, const std::string& body) {
    return Be(static_cast<uint32_t>(8 + body.size()), 4) + type + body;
}

// Smallest containers TagLib accepts, without tags; the picture is added with
// TagLib afterwards, as a tagger would.
void WriteMp3(const fs::path& file) {
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417-byte frames.
    std::string frame = std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\0');
    std::string bytes;
    for (int i = 0; i < 8; ++i) {
        bytes += frame;
    }
    WriteBytes(file, bytes);
}

void WriteFlac(const fs::path& file) {
    // STREAMINFO: 4096-sample blocks, 44.1 kHz, 2 channels, 16 bits.
    std::string info = std::string("\x10\x00\x10\x00", 4) + std::string(6, '\0') +
                       std::string("\x0A\xC4\x42\xF0", 4) + std::string(4, '\0') +
                       std::string(16, '\0');
    WriteBytes(file, "fLaC" + std::string("\x80\x00\x00\x22", 4) + info);
}

void WriteMp4(const fs::path& file) {
    std::string mvhd = Be(0, 4) + Be(0, 4) + Be(0, 4) + Be(1000, 4) + Be(0, 4) + Be(0x00010000, 4) +
                       Be(0x0100, 2) + std::string(10, '\0') + Be(0x00010000, 4) + Be(0, 4) +
                       Be(0, 4) + Be(0, 4) + Be(0x00010000, 4) + Be(0, 4) + Be(0, 4) + Be(0, 4) +
                       Be(0x40000000, 4) + std::string(24, '\0') + Be(2, 4);
    WriteBytes(file,
               Atom("ftyp", "M4A " + Be(0, 4) + "M4A isom") + Atom("moov", Atom("mvhd", mvhd)));
}

void WriteAiff(const fs::path& file) {
    // COMM: 1 channel, 0 frames, 8 bits, 44100 Hz as an 80-bit extended float.
    std::string comm =
        Be(1, 2) + Be(0, 4) + Be(8, 2) + std::string("\x40\x0E\xAC\x44", 4) + std::string(6, '\0');
    std::string body = "AIFF" + ("COMM" + Be(18, 4) + comm) + ("SSND" + Be(8, 4) + Be(0, 8));
    WriteBytes(file, "FORM" + Be(static_cast<uint32_t>(body.size()), 4) + body);
}

TagLib::ID3v2::AttachedPictureFrame* Apic(const std::string& image,
                                          TagLib::ID3v2::AttachedPictureFrame::Type type) {
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame();
    frame->setMimeType("image/png");
    frame->setType(type);
    frame->setPicture(Bytes(image));
    return frame;
}

// What one callback saw.
struct Delivery {
    int width = -1;
    int height = -1;
    bool pixels = false;
    uint32_t centre = 0;
    std::vector<uint32_t> image;
    std::thread::id thread;
};

struct Deliveries {
    std::mutex lock;
    std::vector<Delivery> seen;
    std::atomic<int> running{0};
    std::atomic<int> overlapped{0};
    int delayMs = 0;
};

int Record(void*, int width, int height, const uint32_t* pixels, void* user) {
    auto* into = static_cast<Deliveries*>(user);
    if (into->running.fetch_add(1) != 0) {
        into->overlapped.fetch_add(1);
    }
    Delivery d;
    d.width = width;
    d.height = height;
    d.pixels = pixels != nullptr;
    if (pixels && width > 0 && height > 0) {
        d.image.assign(pixels, pixels + static_cast<size_t>(width) * height);
        d.centre = pixels[static_cast<size_t>(height / 2) * width + width / 2];
    }
    d.thread = std::this_thread::get_id();
    if (into->delayMs > 0) {
        // Long enough that a drain that did not wait would return mid-callback.
        std::this_thread::sleep_for(std::chrono::milliseconds(into->delayMs));
    }
    {
        std::lock_guard guard(into->lock);
        into->seen.push_back(std::move(d));
    }
    into->running.fetch_sub(1);
    return 0;
}

// Channels of two ARGB colours differ by at most `tolerance`.
bool Near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 0; shift < 32; shift += 8) {
        int x = static_cast<int>((a >> shift) & 0xFF);
        int y = static_cast<int>((b >> shift) & 0xFF);
        if (std::abs(x - y) > tolerance) {
            return false;
        }
    }
    return true;
}

class ArtworkServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { service_ = host::ArtworkServiceInstance(); }
    void TearDown() override { host::SubstituteHost::Instance().SetPlayback({}); }

    void PlayFile(const std::wstring& location) {
        host::SubstituteHost::Instance().SetPlayback({1, 0, location, -1});
    }

    // One request for the item now playing, waited for.
    Delivery Ask(int width = 0, int height = 0, int enlarge = 0, bool resized = false) {
        Deliveries into;
        wchar_t location[260] = L"";
        int taken = resized
                        ? service_->requestResizedArtwork(service_, location, L"cover", &into,
                                                          width, height, enlarge, 0, &Record)
                        : service_->requestArtwork(service_, location, L"cover", &into, 0, &Record);
        EXPECT_EQ(taken, 0);
        host::DrainArtworkCallbacks();
        EXPECT_EQ(location, host::SubstituteHost::Instance().Playback().file);
        std::lock_guard guard(into.lock);
        EXPECT_EQ(into.seen.size(), 1u);
        return into.seen.empty() ? Delivery{} : into.seen.front();
    }

    fs::path Track(const std::string& name, bool withCover, int width = 64, int height = 48,
                   uint32_t colour = kBlue, bool png = false) {
        host::SampleSpec recipe;
        recipe.fileName = name;
        recipe.title = L"Kiln";
        recipe.seconds = 1;
        recipe.withCover = withCover;
        recipe.coverWidth = width;
        recipe.coverHeight = height;
        recipe.coverColour = colour;
        recipe.coverAsPng = png;
        return host::WriteSampleTrack(folder_.path(), recipe);
    }

    ArtworkService* service_ = nullptr;
    TempFolder folder_;
};

TEST_F(ArtworkServiceTest, EmbeddedCoverOfEachContainerArrivesAsArgb) {
    const std::string png = Encode(50, 30, kGreen, ".png");
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path&)> make;
        uint32_t colour;
        int width, height;
    };
    const fs::path dir = folder_.path();
    const Case cases[] = {
        {"wav with a jpeg", [&](const fs::path&) { return Track("a.wav", true, 64, 48, kBlue); },
         kBlue, 64, 48},
        {"wav with a png",
         [&](const fs::path&) { return Track("b.wav", true, 30, 70, kRed, true); }, kRed, 30, 70},
        {"mp3",
         [&](const fs::path& d) {
             fs::path file = d / "c.mp3";
             WriteMp3(file);
             TagLib::MPEG::File media(file.c_str());
             media.ID3v2Tag(true)->addFrame(
                 Apic(png, TagLib::ID3v2::AttachedPictureFrame::FrontCover));
             media.save();
             return file;
         },
         kGreen, 50, 30},
        {"aiff",
         [&](const fs::path& d) {
             fs::path file = d / "d.aiff";
             WriteAiff(file);
             TagLib::RIFF::AIFF::File media(file.c_str());
             media.tag()->addFrame(Apic(png, TagLib::ID3v2::AttachedPictureFrame::FrontCover));
             media.save();
             return file;
         },
         kGreen, 50, 30},
        {"flac",
         [&](const fs::path& d) {
             fs::path file = d / "e.flac";
             WriteFlac(file);
             TagLib::FLAC::File media(file.c_str());
             auto* picture = new TagLib::FLAC::Picture;
             picture->setType(TagLib::FLAC::Picture::FrontCover);
             picture->setMimeType("image/png");
             picture->setData(Bytes(png));
             media.addPicture(picture);
             media.save();
             return file;
         },
         kGreen, 50, 30},
        {"mp4",
         [&](const fs::path& d) {
             fs::path file = d / "f.m4a";
             WriteMp4(file);
             TagLib::MP4::File media(file.c_str());
             TagLib::MP4::CoverArtList covers;
             covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::PNG, Bytes(png)));
             media.tag()->setItem("covr", covers);
             media.save();
             return file;
         },
         kGreen, 50, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = c.make(dir);
        ASSERT_FALSE(file.empty());
        PlayFile(host::FromFsPath(file));
        Delivery got = Ask();
        EXPECT_TRUE(got.pixels);
        EXPECT_EQ(got.width, c.width);
        EXPECT_EQ(got.height, c.height);
        EXPECT_TRUE(Near(got.centre, c.colour, 6)) << std::hex << got.centre;
    }
}

TEST_F(ArtworkServiceTest, FrontCoverFirstThenAnyPictureThenAnImageBesideTheFile) {
    enum : int { kBack = 1, kFront = 2, kBroken = 4 };  // embedded pictures, in this order
    struct Case {
        const char* name;
        int embedded;
        std::vector<std::pair<std::string, uint32_t>> beside;
        uint32_t colour;  // 0: no artwork
    };
    const Case cases[] = {
        {"front cover over an earlier back cover", kBack | kFront, {}, kBlue},
        {"a back cover when there is no front", kBack, {}, kRed},
        {"embedded over the folder image", kFront, {{"cover.jpg", kGreen}}, kBlue},
        {"broken picture falls back to the folder", kBroken, {{"cover.png", kGreen}}, kGreen},
        {"cover before folder, any case",
         0,
         {{"Folder.PNG", kRed}, {"COVER.jpeg", kGreen}},
         kGreen},
        {"folder image alone", 0, {{"folder.bmp", kRed}}, kRed},
        {"other names are not artwork",
         0,
         {{"back.jpg", kRed}, {"cover.gif", kRed}, {"covers.png", kRed}},
         0},
        {"nothing at all", 0, {}, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A folder per case, so that images beside one file stay out of the next.
        fs::path dir = folder_.path() / std::to_string(index++);
        host::SampleSpec recipe;
        recipe.fileName = "track.wav";
        recipe.seconds = 1;
        fs::path file = host::WriteSampleTrack(dir, recipe);
        ASSERT_FALSE(file.empty());
        {
            using Type = TagLib::ID3v2::AttachedPictureFrame;
            TagLib::RIFF::WAV::File media(file.c_str());
            if (c.embedded & kBack) {
                media.ID3v2Tag()->addFrame(Apic(Encode(8, 8, kRed, ".png"), Type::BackCover));
            }
            if (c.embedded & kFront) {
                media.ID3v2Tag()->addFrame(Apic(Encode(8, 8, kBlue, ".png"), Type::FrontCover));
            }
            if (c.embedded & kBroken) {
                media.ID3v2Tag()->addFrame(Apic("\x89PNG not really", Type::FrontCover));
            }
            ASSERT_TRUE(media.save());
        }
        for (const auto& [name, colour] : c.beside) {
            WriteBytes(dir / name, Encode(8, 8, colour, fs::path(name).extension().string()));
        }
        PlayFile(host::FromFsPath(file));
        Delivery got = Ask();
        EXPECT_EQ(got.pixels, c.colour != 0);
        if (c.colour != 0) {
            EXPECT_TRUE(Near(got.centre, c.colour, 8)) << std::hex << got.centre;
        } else {
            EXPECT_EQ(got.width, 0);
            EXPECT_EQ(got.height, 0);
        }
    }
}

TEST_F(ArtworkServiceTest, StreamsAndMissingFilesHaveNoArtwork) {
    // A cover beside where the file would be must not count for a stream.
    WriteBytes(folder_.path() / "cover.jpg", Encode(8, 8, kRed, ".jpg"));
    for (std::wstring location :
         {std::wstring(L"http://radio.example/live"), std::wstring(L"https://radio.example/a.mp3"),
          host::FromFsPath(folder_.path() / "gone.wav"), std::wstring()}) {
        SCOPED_TRACE(host::WideToUtf8(location));
        PlayFile(location);
        Delivery got = Ask(100, 100, 1, true);
        EXPECT_FALSE(got.pixels);
        EXPECT_EQ(got.width, 0);
        EXPECT_EQ(got.height, 0);
    }
}

TEST_F(ArtworkServiceTest, ResizedRequestsFitWithinTheLimitsKeepingTheAspect) {
    struct Case {
        int width, height, limitW, limitH, enlarge;
        int expectW, expectH;
    };
    const Case cases[] = {
        {120, 80, 60, 60, 0, 60, 40},      // wide, shrunk to the width
        {80, 120, 60, 60, 0, 40, 60},      // tall, shrunk to the height
        {120, 80, 300, 300, 0, 120, 80},   // smaller than the limits, left alone
        {120, 80, 300, 300, 1, 300, 200},  // ... or enlarged when asked
        {120, 80, 120, 80, 1, 120, 80},    // already fits exactly
        {300, 100, 100, 100, 1, 100, 33},  // the free side is rounded
        {120, 80, 60, 0, 0, 60, 40},       // no height limit
        {120, 80, 0, 0, 1, 120, 80},       // no limits at all
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " in " << c.limitW << "x"
                                        << c.limitH << " enlarge " << c.enlarge);
        fs::path file =
            Track("fit" + std::to_string(index++) + ".wav", true, c.width, c.height, kBlue, true);
        PlayFile(host::FromFsPath(file));
        Delivery got = Ask(c.limitW, c.limitH, c.enlarge, true);
        EXPECT_EQ(got.width, c.expectW);
        EXPECT_EQ(got.height, c.expectH);
        EXPECT_TRUE(Near(got.centre, kBlue, 2)) << std::hex << got.centre;
    }
    // The plain request never resizes.
    PlayFile(host::FromFsPath(Track("plain.wav", true, 120, 80)));
    Delivery plain = Ask();
    EXPECT_EQ(plain.width, 120);
    EXPECT_EQ(plain.height, 80);
}

TEST_F(ArtworkServiceTest, CallbacksRunOnOneHostThreadInOrderAndDrainWaitsForThem) {
    const fs::path withArt = Track("art.wav", true, 20, 10);
    const fs::path without = Track("none.wav", false);
    Deliveries into;
    into.delayMs = 30;
    const std::wstring files[] = {host::FromFsPath(withArt), host::FromFsPath(without),
                                  host::FromFsPath(withArt)};
    const uint64_t before = host::ArtworkCallbacksDelivered();
    for (const std::wstring& file : files) {
        PlayFile(file);
        wchar_t location[260] = L"";
        EXPECT_EQ(service_->requestArtwork(service_, location, L"cover", &into, 0, &Record), 0);
        EXPECT_EQ(location, file);
    }
    host::DrainArtworkCallbacks();
    EXPECT_EQ(into.running.load(), 0);
    EXPECT_EQ(into.overlapped.load(), 0);
    EXPECT_EQ(host::ArtworkCallbacksDelivered() - before, 3u);
    std::lock_guard guard(into.lock);
    ASSERT_EQ(into.seen.size(), 3u);
    // Requests are served in the order they came, each with the item of its time.
    EXPECT_EQ(into.seen[0].width, 20);
    EXPECT_FALSE(into.seen[1].pixels);
    EXPECT_EQ(into.seen[2].width, 20);
    for (const Delivery& d : into.seen) {
        EXPECT_NE(d.thread, std::this_thread::get_id());
        EXPECT_EQ(d.thread, into.seen[0].thread);
    }
    // After a drain the service takes requests again; a request without a
    // routine is refused.
    PlayFile(host::FromFsPath(withArt));
    EXPECT_EQ(Ask().width, 20);
    wchar_t location[260] = L"";
    EXPECT_NE(service_->requestArtwork(service_, location, L"cover", nullptr, 0, nullptr), 0);
}

TEST_F(ArtworkServiceTest, WritableFormatsAreKnownByExtensionInAnyCase) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"jpg", 1}, {L"JPG", 1}, {L"jpeg", 1}, {L"png", 1}, {L"Png", 1}, {L"bmp", 1},
        {L"tga", 1}, {L"gif", 0}, {L"webp", 0}, {L"", 0},    {L"jp", 0},  {L"pngx", 0},
    };
    for (const auto& [format, expected] : cases) {
        EXPECT_EQ(service_->canWriteFormat(service_, L"/tmp/x.img", format) != 0, expected != 0)
            << host::WideToUtf8(format);
    }
    EXPECT_EQ(service_->canWriteFormat(service_, L"/tmp/x.png", nullptr), 0);
}

TEST_F(ArtworkServiceTest, WrittenImagesReadBackInTheirFormat) {
    // Four distinct colours, one half transparent, in ARGB.
    const std::vector<uint32_t> pixels = {0xffff0000, 0xff00ff00, 0xff0000ff, 0x80ffffff,
                                          0xff102030, 0xff405060, 0xff708090, 0xffa0b0c0};
    enum class Check { Exact, Colours, Size };
    struct Case {
        const char* file;
        const wchar_t* format;
        std::string magic;
        Check check;
    };
    const Case cases[] = {
        {"a.png", L"png", "\x89PNG\r\n\x1A\n", Check::Exact},
        {"a.tga", L"TGA", "", Check::Exact},
        {"a.bmp", L"bmp", "BM", Check::Colours},
        {"a.jpg", L"jpg", "\xFF\xD8\xFF", Check::Size},
        {"named.png", L"jpeg", "\xFF\xD8\xFF", Check::Size},  // the format decides, not the name
        {"Hafið við Ós.png", L"png", "\x89PNG", Check::Exact},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        fs::path file = folder_.path() / fs::path(c.file);
        ASSERT_EQ(service_->writeImage(service_, host::FromFsPath(file).c_str(), 4, 2,
                                       pixels.data(), 0, c.format),
                  0);
        std::string bytes = ReadFileBytes(file);
        EXPECT_EQ(bytes.compare(0, c.magic.size(), c.magic), 0);
        int w = 0, h = 0, n = 0;
        unsigned char* rgba =
            stbi_load_from_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()), &w, &h, &n, 4);
        ASSERT_NE(rgba, nullptr);
        EXPECT_EQ(w, 4);
        EXPECT_EQ(h, 2);
        for (size_t i = 0; c.check != Check::Size && i < pixels.size(); ++i) {
            uint32_t back = (uint32_t{rgba[i * 4 + 3]} << 24) | (uint32_t{rgba[i * 4]} << 16) |
                            (uint32_t{rgba[i * 4 + 1]} << 8) | rgba[i * 4 + 2];
            uint32_t mask = c.check == Check::Exact ? 0xffffffff : 0x00ffffff;
            EXPECT_EQ(back & mask, pixels[i] & mask) << "pixel " << i;
        }
        stbi_image_free(rgba);
        EXPECT_FALSE(fs::exists(file.string() + ".part"));
    }
}

TEST_F(ArtworkServiceTest, WriteFailuresReportNonZeroAndLeaveNoFile) {
    const uint32_t pixel[4] = {0xff000000, 0xff000000, 0xff000000, 0xff000000};
    const fs::path good = folder_.path() / "x.png";
    const fs::path missingFolder = folder_.path() / "no" / "such" / "x.png";
    struct Case {
        const char* name;
        fs::path file;
        int width, height;
        const uint32_t* pixels;
        const wchar_t* format;
    };
    const Case cases[] = {
        {"unknown format", good, 2, 2, pixel, L"gif"},
        {"no format", good, 2, 2, pixel, nullptr},
        {"missing folder", missingFolder, 2, 2, pixel, L"png"},
        {"no pixels", good, 2, 2, nullptr, L"png"},
        {"empty image", good, 0, 2, pixel, L"png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(service_->writeImage(service_, host::FromFsPath(c.file).c_str(), c.width,
                                       c.height, c.pixels, 0, c.format),
                  0);
        EXPECT_FALSE(fs::exists(c.file));
    }
}

}  // namespace
}  // namespace kiln::test
