// libFuzzer target: the scrobble cache's line reading on arbitrary bytes,
// one line per line feed as the reader takes them; and the rejected file's
// split of a line from its reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scrobbler/cache_line.h"

namespace {

bool Within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckRejected(std::string_view line) {
    const kiln::RejectedLine split = kiln::SplitRejected(line);
    if (split.reason == kiln::kReasonUnknown) {
        if (split.line != line) {
            __builtin_trap();  // a line without a reason of ours stays whole
        }
    } else if (!Within(split.line, line) || !Within(split.reason, line) ||
               kiln::WithReason(split.line, split.reason) != line) {
        __builtin_trap();
    }
    // Whatever the line holds, a reason written after it is read back, and
    // the line with it.
    const std::string marked = kiln::WithReason(line, kiln::kReasonNoTags);
    const kiln::RejectedLine again = kiln::SplitRejected(marked);
    if (again.line != line || again.reason != kiln::kReasonNoTags) {
        __builtin_trap();
    }
}

void Check(std::string_view line) {
    CheckRejected(line);
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
