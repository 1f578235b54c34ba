// gzip-compressed UTF-16 texts: the form of the plug-in's long resource texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiln::host {

// A text resource never comes near this; it keeps a hostile stream from
// inflating without bound.
inline constexpr size_t kMaxInflatedTextBytes = size_t{1} << 20;

// One gzip member (best compression, no file name, time 0); empty on failure.
std::vector<uint8_t> GzipCompress(std::span<const uint8_t> data);

// Inflates one gzip member holding UTF-16: little-endian after FF FE or with
// no byte-order mark, big-endian after FE FF. Returns the text without the
// mark; unpaired surrogates become U+FFFD. nullopt for data that is not
// gzip, is corrupt or truncated, has an odd byte count, or inflates to more
// than maxBytes. Bytes after the end of the member are ignored.
std::optional<std::wstring> DecompressUtf16Text(std::span<const uint8_t> gz,
                                                size_t maxBytes = kMaxInflatedTextBytes);

// FF FE, the text as UTF-16LE, gzip-compressed.
std::vector<uint8_t> EncodeUtf16Gzip(std::wstring_view text);

}  // namespace kiln::host
