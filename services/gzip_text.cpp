#include "services/gzip_text.h"

#include <zlib.h>

#include <climits>
#include <type_traits>

#include "core/text.h"

namespace kiln::host {
namespace {

// 15 window bits, +16: a gzip wrapper rather than a zlib one.
constexpr int kGzipWindowBits = 15 + 16;

std::optional<std::wstring> DecodeUtf16(const std::vector<uint8_t>& bytes) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    size_t start = 0;
    bool bigEndian = false;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        start = 2;
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        start = 2;
        bigEndian = true;
    }
    const auto unitAt = [&](size_t i) -> char32_t {
        return bigEndian ? (char32_t{bytes[i]} << 8) | bytes[i + 1]
                         : (char32_t{bytes[i + 1]} << 8) | bytes[i];
    };
    std::wstring out;
    out.reserve((bytes.size() - start) / 2);
    for (size_t i = start; i < bytes.size(); i += 2) {
        const char32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < bytes.size()) {
            const char32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                kiln::text::AppendCodePoint(out,
                                            0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        kiln::text::AppendCodePoint(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    return out;
}

}  // namespace

std::vector<uint8_t> GzipCompress(std::span<const uint8_t> data) {
    if (data.size() > UINT_MAX) {
        return {};
    }
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return {};
    }
    return out;
}

std::optional<std::wstring> DecompressUtf16Text(std::span<const uint8_t> gz, size_t maxBytes) {
    if (gz.empty() || gz.size() > UINT_MAX) {
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) {
        return std::nullopt;
    }
    stream.next_in = const_cast<Bytef*>(gz.data());
    stream.avail_in = static_cast<uInt>(gz.size());
    std::vector<uint8_t> bytes;
    uint8_t chunk[16 * 1024];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            break;  // corrupt (Z_DATA_ERROR), or truncated: no progress (Z_BUF_ERROR)
        }
        const size_t produced = sizeof(chunk) - stream.avail_out;
        if (bytes.size() + produced > maxBytes) {
            result = Z_MEM_ERROR;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + produced);
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return std::nullopt;
    }
    return DecodeUtf16(bytes);
}

std::vector<uint8_t> EncodeUtf16Gzip(std::wstring_view text) {
    std::vector<uint8_t> bytes{0xFF, 0xFE};
    bytes.reserve(2 + text.size() * 2);
    const auto put = [&bytes](char32_t unit) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (const wchar_t wc : text) {
        char16_t units[2];
        const int count = kiln::text::EncodeUtf16(
            static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc)), units);
        for (int i = 0; i < count; ++i) {
            put(units[i]);
        }
    }
    return GzipCompress(bytes);
}

}  // namespace kiln::host
