#include "scrobbler/cache_line.h"

#include <algorithm>
#include <charconv>

namespace kiln {

ParsedCacheLine ParseCacheLine(std::string_view line) {
    ParsedCacheLine parsed;
    parsed.kind = CacheLineKind::CacheUnusable;
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        return parsed;
    }
    // The whole field before the comma must be the number: a damaged time
    // would otherwise be sent as a play without a time, which the service
    // refuses, and the cache would never drain.
    const std::string_view digits = line.substr(0, comma);
    int64_t time = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), time);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return parsed;
    }
    const std::string_view name = line.substr(comma + 1);
    if (name.empty()) {
        return parsed;
    }
    parsed.kind = CacheLineKind::CacheEntry;
    parsed.time = time;
    parsed.name = name;
    return parsed;
}

std::string FormatCacheLine(int64_t startTime, std::string_view utf8Name) {
    std::string line = std::to_string(static_cast<long long>(startTime));
    line += ',';
    line += utf8Name;
    line += "\r\n";
    return line;
}

std::string WithReason(std::string_view line, std::string_view reason) {
    std::string out(line);
    out += '\t';
    out += reason;
    return out;
}

RejectedLine SplitRejected(std::string_view text) {
    const size_t tab = text.rfind('\t');
    if (tab != std::string_view::npos) {
        const std::string_view reason = text.substr(tab + 1);
        // Only our own reasons: an older line whose file name holds a tab
        // stays whole.
        bool ours = reason == kReasonUnreadable || reason == kReasonNoTime ||
                    reason == kReasonTooShort || reason == kReasonNoTags;
        if (!ours && reason.starts_with(kReasonRefusedPrefix)) {
            const std::string_view code = reason.substr(kReasonRefusedPrefix.size());
            ours = !code.empty() && std::all_of(code.begin(), code.end(),
                                                [](char c) { return c >= '0' && c <= '9'; });
        }
        if (ours) {
            return {text.substr(0, tab), reason};
        }
    }
    return {text, kReasonUnknown};
}

}  // namespace kiln
