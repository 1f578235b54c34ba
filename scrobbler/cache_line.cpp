#include "scrobbler/cache_line.h"

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

}  // namespace kiln
