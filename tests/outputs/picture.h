// An image file's bytes as the tests read them back.
#pragma once

#include <stb/stb_image.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kiln::test {

struct Picture {
    std::string kind;  // "png", "jpeg", "bmp", or empty for anything else
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;  // empty when the bytes do not decode

    uint32_t Centre() const {
        return argb.empty() ? 0 : argb[static_cast<size_t>(height / 2) * width + width / 2];
    }
};

inline Picture ReadPicture(const std::string& bytes) {
    Picture picture;
    picture.kind = bytes.starts_with("\x89PNG\r\n\x1A\n") ? "png"
                   : bytes.starts_with("\xFF\xD8\xFF")    ? "jpeg"
                   : bytes.starts_with("BM")              ? "bmp"
                                                          : "";
    int channels = 0;
    unsigned char* rgba = stbi_load_from_memory(
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
        &picture.width, &picture.height, &channels, 4);
    for (size_t i = 0; rgba && i < static_cast<size_t>(picture.width) * picture.height; ++i) {
        const unsigned char* p = rgba + i * 4;
        picture.argb.push_back(uint32_t{p[3]} << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 |
                               p[2]);
    }
    stbi_image_free(rgba);
    return picture;
}

// Every channel of two ARGB colours differs by at most `tolerance`.
inline bool Near(uint32_t a, uint32_t b, int tolerance) {
    bool near = true;
    for (int shift = 0; shift < 32; shift += 8) {
        near = near && std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) <= tolerance;
    }
    return near;
}

}  // namespace kiln::test
