// Reading the scrobbling service's replies: the outcome of one request and
// the status text that tells the user about it. Pure: no host calls, so the
// reply classification can be fuzzed on its own.
#pragma once

#include <cstddef>
#include <string_view>

#include <rapidjson/document.h>

namespace kiln {

enum class ScrobbleOutcome {
    NotSent,     // nothing to send, or no request handle
    NoReply,     // the transfer ended with an empty reply
    Unparsable,  // the reply is not a JSON document
    Unreadable,  // the reply is larger than any the service sends (kReplyLimit)
    ErrorReply,  // the reply carries an integer "error"
    Rejected,    // "ignoredMessage" with a "code" above 0
    Accepted,    // any other parsed reply
};

struct ReplyVerdict {
    ScrobbleOutcome outcome = ScrobbleOutcome::NotSent;
    int code = 0;             // ErrorReply: "error"; Rejected: the ignored code
    int parseError = 0;       // Unparsable: RapidJSON's ParseErrorCode
    bool hasMessage = false;  // ErrorReply: "message" is a string
};

// The longest reply read: the service's largest, for 50 tracks with long
// names, is a few tens of kilobytes. A longer one is cut off in transfer.
inline constexpr size_t kReplyLimit = 256 * 1024;

// Parses a reply without recursion, so that no nesting depth can exhaust
// the stack of the thread reading it. True when it is a JSON document.
bool ParseReply(rapidjson::Document& document, std::string_view reply);

// A member of an object; a null value for a missing member or a non-object.
const rapidjson::Value& FindMember(const rapidjson::Value& value, const char* name);

// Classifies a reply body of "track.scrobble" (submission) or
// "track.updateNowPlaying". An empty body is NoReply, one over kReplyLimit
// Unreadable.
ReplyVerdict ClassifyReply(std::string_view reply, bool submission);

// What a transfer left for the status text of an empty reply.
struct TransferResult {
    const char* errorText = nullptr;
    int resultCode = 0;
};

// The status text of a verdict, ending with `playingTitle` where the text has
// one. False when the verdict leaves the status as it was (an error reply
// without a message, or nothing sent).
bool DescribeVerdict(const ReplyVerdict& verdict, bool submission, const TransferResult& transfer,
                     const wchar_t* playingTitle, wchar_t* out, size_t size);

// The status text of an error reply with a message.
const wchar_t* ErrorReplyText(int code);
// The reason shown with a rejection code.
const wchar_t* RejectionReason(int code);

// A decimal integer read like atoi: leading blanks, a sign, the digits that
// follow, saturated to the int range; 0 without digits.
int LenientDecimal(const char* text);

}  // namespace kiln
