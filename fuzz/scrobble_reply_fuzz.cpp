// libFuzzer target: classifying the scrobbling service's replies and the
// status texts they give, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string_view>

#include "scrobbler/service_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    for (bool submission : {false, true}) {
        const kiln::ReplyVerdict verdict = kiln::ClassifyReply(reply, submission);
        if ((verdict.outcome == kiln::ScrobbleOutcome::NoReply) != reply.empty()) {
            __builtin_trap();
        }
        if (verdict.outcome == kiln::ScrobbleOutcome::NotSent) {
            __builtin_trap();  // only the transport decides that nothing was sent
        }
        if (verdict.outcome == kiln::ScrobbleOutcome::Rejected && verdict.code <= 0) {
            __builtin_trap();
        }
        if ((verdict.outcome == kiln::ScrobbleOutcome::Unreadable) !=
            (reply.size() > kiln::kReplyLimit)) {
            __builtin_trap();
        }
        if (verdict.outcome == kiln::ScrobbleOutcome::Unparsable && verdict.parseError == 0) {
            __builtin_trap();
        }
        wchar_t text[2048];
        text[2047] = L'\x1';
        const kiln::TransferResult transfer{"transfer error", 7};
        if (kiln::DescribeVerdict(verdict, submission, transfer, L"Playing: A - B", text, 2048)) {
            if (std::wcslen(text) >= 2048 || text[0] == L'\0') {
                __builtin_trap();
            }
        }
    }
    return 0;
}
