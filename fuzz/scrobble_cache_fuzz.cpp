// libFuzzer target: the scrobble cache's line reading on arbitrary bytes,
// one line per line feed as the reader takes them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scrobbler/cache_line.h"

namespace {

void Check(std::string_view line) {
    const kiln::ParsedCacheLine parsed = kiln::ParseCacheLine(line);
    if (parsed.kind == kiln::CacheLineKind::CacheEnd) {
        __builtin_trap();  // a line that was read is never the end
    }
    if (parsed.kind != kiln::CacheLineKind::CacheEntry) {
        return;
    }
    if (parsed.name.empty() || parsed.name.data() < line.data() ||
        parsed.name.data() + parsed.name.size() > line.data() + line.size()) {
        __builtin_trap();
    }
    // What is read back is what would be written for it.
    const std::string name(parsed.name);
    const std::string again = kiln::FormatCacheLine(parsed.time, name);
    const kiln::ParsedCacheLine reread = kiln::ParseCacheLine(again);
    if (reread.kind != kiln::CacheLineKind::CacheEntry || reread.time != parsed.time ||
        reread.name != parsed.name) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Check(input);
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        end = end == std::string_view::npos ? input.size() : end + 1;
        Check(input.substr(start, end - start));
        start = end;
    }
    return 0;
}
