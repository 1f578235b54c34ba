#include "host/sample_media.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/wavfile.h>

#include <fstream>
#include <system_error>

// The encoder's implementation is in services/artwork.cpp.
#include <stb/stb_image_write.h>

#include "services/text_services.h"

namespace kiln::host {
namespace {

void PutLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

bool WriteSilentWav(const std::filesystem::path& path, int seconds) {
    const uint32_t dataBytes = static_cast<uint32_t>(seconds) * kSampleRate;
    std::string header;
    header += "RIFF";
    PutLe(header, 4 + (8 + 16) + (8 + dataBytes + (dataBytes & 1)), 4);
    header += "WAVEfmt ";
    PutLe(header, 16, 4);
    PutLe(header, 1, 2);            // PCM
    PutLe(header, 1, 2);            // mono
    PutLe(header, kSampleRate, 4);  // samples per second
    PutLe(header, kSampleRate, 4);  // bytes per second
    PutLe(header, 1, 2);            // block align
    PutLe(header, 8, 2);            // bits per sample
    header += "data";
    PutLe(header, dataBytes, 4);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    // Unsigned 8-bit samples: 128 is silence.
    std::string silence(dataBytes + (dataBytes & 1), '\x80');
    out.write(silence.data(), static_cast<std::streamsize>(silence.size()));
    out.close();
    return static_cast<bool>(out);
}

void AppendBytes(void* context, void* data, int size) {
    static_cast<TagLib::ByteVector*>(context)->append(
        TagLib::ByteVector(static_cast<const char*>(data), static_cast<unsigned>(size)));
}

TagLib::ByteVector EncodeCover(const SampleRecipe& recipe) {
    std::vector<unsigned char> rgb(static_cast<size_t>(recipe.coverWidth) * recipe.coverHeight * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = static_cast<unsigned char>(recipe.coverColour >> 16);
        rgb[i + 1] = static_cast<unsigned char>(recipe.coverColour >> 8);
        rgb[i + 2] = static_cast<unsigned char>(recipe.coverColour);
    }
    TagLib::ByteVector encoded;
    int ok = recipe.coverAsPng
                 ? stbi_write_png_to_func(AppendBytes, &encoded, recipe.coverWidth,
                                          recipe.coverHeight, 3, rgb.data(), recipe.coverWidth * 3)
                 : stbi_write_jpg_to_func(AppendBytes, &encoded, recipe.coverWidth,
                                          recipe.coverHeight, 3, rgb.data(), 90);
    return ok ? encoded : TagLib::ByteVector();
}

// Text frames are UTF-8 so that any text survives, whatever TagLib's default.
void SetText(TagLib::ID3v2::Tag& tag, const char* id, const std::wstring& text) {
    if (text.empty()) {
        return;
    }
    tag.removeFrames(id);
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
    frame->setText(TagLib::String(WideToUtf8(text), TagLib::String::UTF8));
    tag.addFrame(frame);
}

}  // namespace

std::filesystem::path WriteSampleTrack(const std::filesystem::path& folder,
                                       const SampleRecipe& recipe) {
    constexpr int kMaxCoverSide = 4096;
    if (recipe.fileName.empty() || recipe.seconds < 0 || recipe.seconds > 24 * 3600) {
        return {};
    }
    if (recipe.withCover &&
        (recipe.coverWidth <= 0 || recipe.coverHeight <= 0 || recipe.coverWidth > kMaxCoverSide ||
         recipe.coverHeight > kMaxCoverSide)) {
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::filesystem::path path = folder / std::filesystem::path(recipe.fileName);
    if (!WriteSilentWav(path, recipe.seconds)) {
        return {};
    }

    TagLib::RIFF::WAV::File file(path.c_str());
    if (!file.isValid()) {
        return {};
    }
    TagLib::ID3v2::Tag& tag = *file.ID3v2Tag();
    SetText(tag, "TIT2", recipe.title);
    SetText(tag, "TPE1", recipe.artist);
    SetText(tag, "TALB", recipe.album);
    SetText(tag, "TPE2", recipe.albumArtist);
    if (recipe.trackNumber > 0) {
        SetText(tag, "TRCK", std::to_wstring(recipe.trackNumber));
    }
    if (recipe.withCover) {
        TagLib::ByteVector image = EncodeCover(recipe);
        if (image.isEmpty()) {
            return {};
        }
        auto* picture = new TagLib::ID3v2::AttachedPictureFrame();
        picture->setMimeType(recipe.coverAsPng ? "image/png" : "image/jpeg");
        picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        picture->setDescription("Cover");
        picture->setPicture(image);
        tag.addFrame(picture);
    }
    if (!file.save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4)) {
        return {};
    }
    return path;
}

std::vector<SampleRecipe> DemoSampleRecipes() {
    std::vector<SampleRecipe> recipes(4);

    recipes[0].fileName = "01 Ember Glow.wav";
    recipes[0].title = L"Ember Glow";
    recipes[0].artist = L"Kiln Quartet";
    recipes[0].albumArtist = L"Kiln Quartet";
    recipes[0].album = L"Firing Schedule";
    recipes[0].trackNumber = 1;
    recipes[0].seconds = 200;
    recipes[0].withCover = true;
    recipes[0].coverColour = 0xffcc5533;
    recipes[0].coverWidth = 300;
    recipes[0].coverHeight = 300;

    recipes[1].fileName = "02 Hafið.wav";
    recipes[1].title = L"Hafið við Ós";
    recipes[1].artist = L"Glóð Kór";
    recipes[1].album = L"Brennsla — 夜の窯 \U0001F525";
    recipes[1].trackNumber = 2;
    recipes[1].seconds = 95;
    recipes[1].withCover = true;
    recipes[1].coverColour = 0xff3366cc;
    recipes[1].coverWidth = 120;
    recipes[1].coverHeight = 80;
    recipes[1].coverAsPng = true;

    recipes[2].fileName = "03 Highway Cover.wav";
    recipes[2].title = L"Highway Cover";
    recipes[2].artist = L"Slip/Cast Trio";
    recipes[2].album = L"Live at the Kiln";
    recipes[2].albumArtist = L"Various Artists";
    recipes[2].trackNumber = 3;
    recipes[2].seconds = 35;
    recipes[2].withCover = true;
    recipes[2].coverColour = 0xff22aa44;
    recipes[2].coverWidth = 800;
    recipes[2].coverHeight = 800;

    recipes[3].fileName = "04 Rain on the Roof.wav";
    recipes[3].title = L"Rain on the Roof";
    recipes[3].artist = L"Field Recorder";
    recipes[3].album = L"Outside";
    recipes[3].trackNumber = 4;
    recipes[3].seconds = 61;
    return recipes;
}

std::vector<std::filesystem::path> WriteDemoSamples(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> paths;
    for (const SampleRecipe& recipe : DemoSampleRecipes()) {
        std::filesystem::path path = WriteSampleTrack(folder, recipe);
        if (!path.empty()) {
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

}  // namespace kiln::host
