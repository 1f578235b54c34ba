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

// Lines set aside in the rejected file: the cache line, a tab, the reason.
// Why a line was set aside, as the rejected file says it.
inline constexpr std::string_view kReasonUnreadable = "unreadable line";
inline constexpr std::string_view kReasonNoTime = "no start time";
inline constexpr std::string_view kReasonTooShort = "no metadata, or 30 seconds or shorter";
inline constexpr std::string_view kReasonNoTags = "no artist or title";
inline constexpr std::string_view kReasonRefusedPrefix = "refused by the service, error ";
inline constexpr std::string_view kReasonUnknown = "unknown";

// A set-aside line with its reason, as written to the rejected file.
std::string WithReason(std::string_view line, std::string_view reason);
// A rejected line split into the cache line and its reason; lines written
// before reasons were kept, and reasons not of ours, give "unknown".
struct RejectedLine {
    std::string_view line;
    std::string_view reason;
};
RejectedLine SplitRejected(std::string_view text);

}  // namespace kiln
