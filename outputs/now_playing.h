// The now-playing text file and artwork image, rewritten at every play start.
#pragma once

#include <cstdint>

namespace kiln {

extern wchar_t nowPlayingPath[260];

void ComputeNowPlayingPaths();
void WriteNowPlayingFiles();
// Completion routine of the artwork request; always returns 0.
int OnArtworkReady(void* reserved, int width, int height, const uint32_t* pixels, void* userData);

}  // namespace kiln
