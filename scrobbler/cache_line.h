// One line of the scrobble cache: "time,file name\r\n", the time as a signed
// 64-bit decimal, the name in UTF-8, everything after the first comma. Pure,
// so that the reading of damaged lines can be fuzzed on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiln {

enum class CacheLineKind {
    CacheEntry,     // a time and a non-empty file name
    CacheUnusable,  // read, but empty, without comma or time, or with an unusable name
    CacheEnd,       // end of file, or the read failed
};

struct ParsedCacheLine {
    CacheLineKind kind = CacheLineKind::CacheEnd;
    int64_t time = 0;
    std::string_view name;  // UTF-8, into the parsed line
};

// Parses a line as read, with or without its terminator. The name's UTF-8 is
// checked by the caller's conversion.
ParsedCacheLine ParseCacheLine(std::string_view line);

// The line for a play: "%lld,%s\r\n".
std::string FormatCacheLine(int64_t startTime, std::string_view utf8Name);

}  // namespace kiln
