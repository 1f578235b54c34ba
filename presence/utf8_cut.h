// Byte cuts of UTF-8 text that never split a character: Discord refuses a
// message holding invalid UTF-8, and a cut in the middle of a multi-byte
// sequence would make one.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace kiln {

// The length of the longest prefix of `text` of at most `limit` bytes that ends
// on a character boundary. Text that already fits is kept whole.
inline size_t Utf8CutLength(std::string_view text, size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    size_t cut = limit;
    // Continuation bytes are 10xxxxxx: back off to the byte that begins the
    // character the limit falls into.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

// Copies `text` into dest[0, width), cut to width - 1 bytes at a character
// boundary, and terminates it.
inline void CopyUtf8Field(char* dest, size_t width, std::string_view text) {
    if (width == 0) {
        return;
    }
    size_t length = Utf8CutLength(text, width - 1);
    if (length > 0) {
        std::memcpy(dest, text.data(), length);
    }
    dest[length] = '\0';
}

template <size_t N>
void CopyUtf8Field(char (&dest)[N], std::string_view text) {
    CopyUtf8Field(dest, N, text);
}

}  // namespace kiln
