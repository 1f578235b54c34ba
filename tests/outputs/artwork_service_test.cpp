// The host's artwork service on real media files: where the picture comes
// from, which thread delivers it and how images are written (fitting is seen
// through the now-playing files).
#include <gtest/gtest.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host/substitute_host.h"
#include "picture.h"
#include "services/artwork.h"
#include "services/paths.h"
#include "services/text_services.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;
using Apic = TagLib::ID3v2::AttachedPictureFrame;

constexpr uint32_t kBlue = 0xff3366cc;
constexpr uint32_t kGreen = 0xff22aa44;
constexpr uint32_t kRed = 0xffcc3322;

// The pieces of the containers, as the formats lay them out.
std::string Size32(size_t size, bool littleEndian = false) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) {
        out[littleEndian ? i : 3 - i] = static_cast<char>(size >> (8 * i));
    }
    return out;
}
std::string Atom(const std::string& type, const std::string& body) {
    return Size32(8 + body.size()) + type + body;
}
std::string Chunk(const std::string& id, const std::string& body, bool littleEndian = false) {
    return id + Size32(body.size(), littleEndian) + body + std::string(body.size() % 2, '\0');
}
std::string Id3(const std::vector<std::pair<Apic::Type, std::string>>& pictures) {
    TagLib::ID3v2::Tag tag;
    for (const auto& [type, image] : pictures) {
        auto* frame = new Apic();
        frame->setType(type);
        frame->setPicture({image.data(), static_cast<unsigned>(image.size())});
        tag.addFrame(frame);
    }
    const TagLib::ByteVector bytes = tag.render();
    return {bytes.data(), bytes.size()};
}
std::string Wav(const std::string& id3) {
    return Chunk("RIFF", "WAVE" + Chunk("id3 ", id3, true), true);
}

// What the completion routine saw, and on which threads (one thread never runs
// two at once); read after the service drained, which orders the reader after.
struct Deliveries {
    std::vector<Picture> seen;
    std::vector<std::thread::id> threads;
};

int Record(void*, int width, int height, const uint32_t* pixels, void* user) {
    auto* into = static_cast<Deliveries*>(user);
    // Long enough that a drain that did not wait would return mid-callback.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t count = pixels ? static_cast<size_t>(width) * height : 0;
    into->seen.push_back({"", width, height, {pixels, pixels + count}});
    into->threads.push_back(std::this_thread::get_id());
    return 0;
}

class ArtworkServiceTest : public ::testing::Test {
  protected:
    void TearDown() override { host::SubstituteHost::Instance().SetPlayback({}); }

    // Requests queued at once, each with its location as the item now playing,
    // then waited for: served in order, one at a time, on one host thread.
    std::vector<Picture> AskAll(const std::vector<std::wstring>& locations) {
        Deliveries into;
        for (const std::wstring& location : locations) {
            host::SubstituteHost::Instance().SetPlayback({1, 0, location, -1});
            wchar_t buffer[260] = L"";
            EXPECT_EQ(service_->requestArtwork(service_, buffer, L"cover", &into, 0, &Record), 0);
            EXPECT_EQ(buffer, location) << "the plug-in's location buffer";
        }
        host::DrainArtworkCallbacks();
        EXPECT_EQ(into.seen.size(), locations.size());
        for (std::thread::id thread : into.threads) {
            EXPECT_TRUE(thread == into.threads[0] && thread != std::this_thread::get_id());
        }
        into.seen.resize(locations.size());
        return into.seen;
    }

    // A one-colour 8 x 6 PNG image written as `file`; its bytes. Only names tell
    // artwork apart: the content is recognised whatever the extension says.
    std::string Image(uint32_t colour, fs::path file = {}) {
        file = file.empty() ? folder_.path() / "image.png" : file;
        const std::vector<uint32_t> pixels(8 * 6, colour);
        EXPECT_EQ(service_->writeImage(service_, host::FromFsPath(file).c_str(), 8, 6,
                                       pixels.data(), 0, L"png"),
                  0);
        return ReadFileBytes(file);
    }

    ArtworkService* service_ = host::ArtworkServiceInstance();
    TempFolder folder_;
};

// The picture of an item: the front cover among those in its tags, else any
// of them, else a cover or folder image beside the file; streams have none.
TEST_F(ArtworkServiceTest, PictureComesFromTheTagsOfEachContainerThenBesideTheFile) {
    const Apic::Type kFront = Apic::FrontCover, kBack = Apic::BackCover;
    const std::string red = Image(kRed), green = Image(kGreen), blue = Image(kBlue);
    const std::string id3 = Id3({{kFront, green}});
    TagLib::FLAC::Picture flac;
    flac.setType(TagLib::FLAC::Picture::FrontCover);
    flac.setData({green.data(), static_cast<unsigned>(green.size())});
    const TagLib::ByteVector rendered = flac.render();
    const std::string flacPicture(rendered.data(), rendered.size());
    std::string lastBlock = Size32(flacPicture.size());
    lastBlock[0] = '\x86';  // the last metadata block, of type 6: a picture
    const std::string flacFile =
        "fLaC" + Size32(34) + std::string(34, '\0') + lastBlock + flacPicture;
    // A cover item holds data atoms; type 14 is PNG.
    const std::string covr = Atom("covr", Atom("data", Size32(14) + Size32(0) + green));
    const std::string m4a =
        Atom("ftyp", "M4A ") +
        Atom("moov", Atom("udta", Atom("meta", Size32(0) + Atom("ilst", covr))));
    const std::string aiff =
        Chunk("FORM", "AIFF" + Chunk("COMM", std::string(18, '\0')) + Chunk("ID3 ", id3));
    const struct {
        const char* name;   // with "://" a stream
        std::string media;  // written unless empty
        std::vector<std::pair<std::string, uint32_t>> beside;
        uint32_t colour;  // 0: no artwork
    } cases[] = {
        {"a.wav", Wav(id3), {}, kGreen},
        {"a.mp3", id3, {}, kGreen},
        {"a.aiff", aiff, {}, kGreen},
        {"a.flac", flacFile, {}, kGreen},
        {"a.m4a", m4a, {}, kGreen},
        {"front over an earlier back.wav", Wav(Id3({{kBack, red}, {kFront, blue}})), {}, kBlue},
        {"back when there is no front.wav", Wav(Id3({{kBack, red}})), {}, kRed},
        {"embedded over folder.wav", Wav(Id3({{kFront, blue}})), {{"cover.jpg", kGreen}}, kBlue},
        {"broken front.wav", Wav(Id3({{kFront, "\x89PNG not"}})), {{"cover.png", kGreen}}, kGreen},
        {"cover first.wav", Wav(""), {{"Folder.PNG", kRed}, {"COVER.jpeg", kGreen}}, kGreen},
        {"folder image alone.wav", Wav(""), {{"folder.bmp", kRed}}, kRed},
        {"other names are not art.wav", Wav(""), {{"back.jpg", kRed}, {"cover.gif", kRed}}, 0},
        {"missing file.wav", "", {{"cover.jpg", kRed}}, 0},
        {"http://radio.example/live", "", {{"cover.jpg", kRed}}, 0},
        {"https://radio.example/a.mp3", "", {}, 0},
        {"", "", {}, 0},
    };
    std::vector<std::wstring> locations;
    for (const auto& c : cases) {
        // A folder per case, so that images beside one file stay out of the next.
        const fs::path dir = folder_.path() / std::to_string(locations.size());
        fs::create_directories(dir);
        for (const auto& [name, colour] : c.beside) {
            Image(colour, dir / name);
        }
        if (!c.media.empty()) {
            std::ofstream(dir / c.name, std::ios::binary) << c.media;
        }
        const bool local = c.name[0] && std::string(c.name).find("://") == std::string::npos;
        locations.push_back(local ? host::FromFsPath(dir / c.name) : host::Utf8ToWide(c.name));
    }
    // In the order asked, each with the item of its time.
    const std::vector<Picture> got = AskAll(locations);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const uint32_t colour = cases[i].colour;
        EXPECT_TRUE(colour == 0 ? got[i].argb.empty() && got[i].width == 0 && got[i].height == 0
                                : got[i].width == 8 && got[i].height == 6 &&
                                      Near(got[i].Centre(), colour, 8))
            << cases[i].name << ": " << got[i].width << "x" << got[i].height << " " << std::hex
            << got[i].Centre();
    }
    wchar_t location[260] = L"";
    EXPECT_NE(service_->requestArtwork(service_, location, L"cover", nullptr, 0, nullptr), 0)
        << "a request without a routine";
}

TEST_F(ArtworkServiceTest, ImagesAreWrittenInTheFormatAskedOrNotAtAll) {
    // Distinct colours, one half transparent, in ARGB.
    const std::vector<uint32_t> pixels = {0xffff0000, 0xff00ff00, 0xff0000ff, 0x80ffffff,
                                          0xff102030, 0xff405060, 0xff708090, 0xffa0b0c0};
    const struct {
        const char* file;
        const wchar_t* format;
        const char* kind;  // null: refused
    } cases[] = {
        // (JPEG, lossy, is read back through the now-playing files.)
        {"a.png", L"png", "png"},    {"a.tga", L"TGA", ""},     {"Hafið við Ós.png", L"Png", "png"},
        {"b.png", L"pngx", nullptr}, {"b.png", L"jp", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file << " as " << c.format);
        const std::wstring file = host::FromFsPath(folder_.path() / fs::path(c.file));
        EXPECT_EQ(service_->canWriteFormat(service_, file.c_str(), c.format) != 0,
                  c.kind != nullptr);
        ASSERT_EQ(
            service_->writeImage(service_, file.c_str(), 4, 2, pixels.data(), 0, c.format) == 0,
            c.kind != nullptr);
        if (c.kind != nullptr) {
            Picture back = ReadPicture(ReadFileBytes(folder_.path() / fs::path(c.file)));
            EXPECT_EQ(back.kind, c.kind);
            EXPECT_EQ(back.width, 4);
            EXPECT_EQ(back.argb, pixels);
        }
    }
    // Written beside the target and renamed: nothing half-written or refused is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_.path()), fs::directory_iterator()), 3);
}

}  // namespace
}  // namespace kiln::test
