// Small tagged audio files for demos and tests: silent WAV files with an ID3v2
// tag and, when asked, an embedded front cover of one colour.
//
// The stb_image_write implementation lives in sample_media.cpp; other host
// files include <stb/stb_image_write.h> without defining it again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kiln::host {

struct SampleRecipe {
    std::string fileName;  // UTF-8, inside the folder
    std::wstring title, artist, album, albumArtist;
    int trackNumber = 0;  // 0: none
    int seconds = 0;
    bool withCover = false;
    uint32_t coverColour = 0xff3366cc;  // ARGB; alpha is ignored
    int coverWidth = 64, coverHeight = 64;
    bool coverAsPng = false;  // else JPEG
};

// Sample rate of the written files: low, so that a long track stays small.
inline constexpr int kSampleRate = 1000;

// Writes 8-bit mono PCM silence of recipe.seconds with an ID3v2 tag carrying the
// texts that are not empty, the track number and, when asked, the cover as an
// attached front-cover picture. Creates the folder if needed. Returns the
// file's path, or an empty path on failure.
std::filesystem::path WriteSampleTrack(const std::filesystem::path& folder,
                                       const SampleRecipe& recipe);

// The demo's tracks, in track order; see DemoSampleRecipes.
std::vector<std::filesystem::path> WriteDemoSamples(const std::filesystem::path& folder);

// What WriteDemoSamples writes: four tracks of 35 to 200 s, one whose album
// artist is its artist, one with non-ASCII text, one with a slash and a space
// in the artist, and one without cover art.
std::vector<SampleRecipe> DemoSampleRecipes();

}  // namespace kiln::host
