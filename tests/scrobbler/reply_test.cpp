// Reading the service's replies: outcomes and the status texts they give.
#include <gtest/gtest.h>

#include <string>

#include "scrobbler/service_reply.h"

namespace kiln::test {
namespace {

struct ReplyCase {
    const char* name;
    const char* reply;
    bool submission;
    ScrobbleOutcome outcome;
    int code;
};

TEST(ScrobbleReply, ClassifiesEveryShape) {
    const ReplyCase cases[] = {
        {"empty", "", true, ScrobbleOutcome::NoReply, 0},
        {"error with message", R"({"error":9,"message":"Invalid session key"})", true,
         ScrobbleOutcome::ErrorReply, 9},
        {"error without message", R"({"error":6})", false, ScrobbleOutcome::ErrorReply, 6},
        {"error as text is not an error", R"({"error":"9","message":"x"})", true,
         ScrobbleOutcome::Accepted, 0},
        {"error as fraction is not an error", R"({"error":9.5,"message":"x"})", true,
         ScrobbleOutcome::Accepted, 0},
        {"now playing ignored", R"({"nowplaying":{"ignoredMessage":{"code":"1","#text":""}}})",
         false, ScrobbleOutcome::Rejected, 1},
        {"now playing not ignored", R"({"nowplaying":{"ignoredMessage":{"code":"0"}}})", false,
         ScrobbleOutcome::Accepted, 0},
        {"scrobble ignored", R"({"scrobbles":{"scrobble":{"ignoredMessage":{"code":"5"}}}})", true,
         ScrobbleOutcome::Rejected, 5},
        {"scrobble code 0", R"({"scrobbles":{"scrobble":{"ignoredMessage":{"code":"0"}}}})", true,
         ScrobbleOutcome::Accepted, 0},
        {"code as a number is not read", R"({"nowplaying":{"ignoredMessage":{"code":1}}})", false,
         ScrobbleOutcome::Accepted, 0},
        {"several scrobbles come as an array",
         R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"1"}},{"ignoredMessage":{"code":"1"}}]}})",
         true, ScrobbleOutcome::Accepted, 0},
        {"the other method's member", R"({"nowplaying":{"ignoredMessage":{"code":"1"}}})", true,
         ScrobbleOutcome::Accepted, 0},
        {"ignoredMessage not an object", R"({"nowplaying":{"ignoredMessage":"1"}})", false,
         ScrobbleOutcome::Accepted, 0},
        {"document is an array", R"([{"error":9}])", true, ScrobbleOutcome::Accepted, 0},
        {"code with leading blanks and text", R"({"nowplaying":{"ignoredMessage":{"code":" 2x"}}})",
         false, ScrobbleOutcome::Rejected, 2},
        {"negative code", R"({"nowplaying":{"ignoredMessage":{"code":"-3"}}})", false,
         ScrobbleOutcome::Accepted, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyVerdict verdict = ClassifyReply(c.reply, c.submission);
        EXPECT_EQ(verdict.outcome, c.outcome);
        EXPECT_EQ(verdict.code, c.code);
    }
}

TEST(ScrobbleReply, ParseErrorsCarryRapidJsonCodes) {
    const struct {
        const char* reply;
        int parseError;
    } cases[] = {
        {"   ", 1},                       // empty document
        {"{} {}", 2},                     // root not singular
        {"<html>Bad Gateway</html>", 3},  // invalid value
        {R"({"error":9)", 6},             // missing a comma or '}'
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        ReplyVerdict verdict = ClassifyReply(c.reply, true);
        EXPECT_EQ(verdict.outcome, ScrobbleOutcome::Unparsable);
        EXPECT_EQ(verdict.parseError, c.parseError);
    }
}

std::wstring Describe(const ReplyVerdict& verdict, bool submission,
                      const TransferResult& transfer = {}) {
    wchar_t out[2048] = L"unchanged";
    if (!DescribeVerdict(verdict, submission, transfer, L"Playing: X - Y", out, 2048)) {
        return L"(no status)";
    }
    return out;
}

TEST(ScrobbleReply, EachErrorCodeHasItsText) {
    const std::wstring invalidToken =
        L"Scrobbling isn't working most likely due to an invalid authorisation token. Please try "
        L"to re-authenticate your account with last.fm after using the 'revoke scrobbler access' "
        L"button to enable the setup mode. [";
    const std::wstring badKey =
        L"Scrobbling isn't allowed & ORBIT's api key may have been revoked or there's an issue "
        L"with last.fm. [";
    const std::wstring badKeyTail =
        L"]\nPlease check for an updated ORBIT release &/or contact support for help.";
    const std::wstring retry =
        L"Scrobbling wasn't able to be completed at this time & will need to be re-submitted on "
        L"the next scrobble [";
    const std::wstring retryTail =
        L"].\nIf this keeps happening please check for an updated ORBIT release &/or contact "
        L"support for help.";
    const std::wstring other = L"Scrobbling failed with an unexpected error code [";
    const std::wstring otherTail =
        L"]\nPlease check for an updated ORBIT release &/or contact support for help.";
    const struct {
        int code;
        std::wstring text;
    } cases[] = {
        {4, invalidToken + L"4]"},
        {9, invalidToken + L"9]"},
        {6,
         L"An invalid parameter was reported by the service.\nIf this persists please check for "
         L"an updated ORBIT release &/or contact support for help."},
        {10, badKey + L"10" + badKeyTail},
        {26, badKey + L"26" + badKeyTail},
        {11, retry + L"11" + retryTail},
        {16, retry + L"16" + retryTail},
        {13, other + L"13" + otherTail},
        {15, other + L"15" + otherTail},
        {29, other + L"29" + otherTail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ReplyVerdict withMessage{ScrobbleOutcome::ErrorReply, c.code, 0, true};
        EXPECT_EQ(Describe(withMessage, true), c.text);
        EXPECT_EQ(Describe(withMessage, false), c.text);
        // Without a message the status stays as it was.
        ReplyVerdict bare{ScrobbleOutcome::ErrorReply, c.code, 0, false};
        EXPECT_EQ(Describe(bare, true), L"(no status)");
    }
}

TEST(ScrobbleReply, OutcomeTexts) {
    const struct {
        ReplyVerdict verdict;
        bool submission;
        TransferResult transfer;
        std::wstring text;
    } cases[] = {
        {{ScrobbleOutcome::Accepted},
         true,
         {},
         L"Currently playing item was scrobbled.\n\nPlaying: X - Y"},
        {{ScrobbleOutcome::Accepted},
         false,
         {},
         L"Currently playing item should show as 'scrobbling now'. Scrobbling will occur once "
         L"enough has been played.\n\nPlaying: X - Y"},
        {{ScrobbleOutcome::Rejected, 1},
         false,
         {},
         L"Now playing update was rejected - scrobble attempt will also be skipped [1] (artist "
         L"ignored)\n\nPlaying: X - Y"},
        {{ScrobbleOutcome::Rejected, 2},
         true,
         {},
         L"Scrobble submission was rejected [2] (title ignored)\n\nPlaying: X - Y"},
        {{ScrobbleOutcome::Rejected, 5},
         true,
         {},
         L"Scrobble submission was rejected [5] (daily scrobble limit exceeded)\n\nPlaying: X - Y"},
        {{ScrobbleOutcome::Rejected, 3},
         true,
         {},
         L"Scrobble submission was rejected [3] \n\nPlaying: X - Y"},
        {{ScrobbleOutcome::NoReply},
         true,
         {"Couldn't connect to server", 7},
         L"Scrobbling action failed.\nError: Couldn't connect to server [7]"},
        {{ScrobbleOutcome::NoReply}, true, {nullptr, 0}, L"Scrobbling action failed.\nError:  [0]"},
        {{ScrobbleOutcome::Unparsable, 0, 3},
         false,
         {},
         L"JSON response from the scrobbler service could not be parsed [3]"},
        {{ScrobbleOutcome::NotSent}, true, {}, L"(no status)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.verdict.outcome));
        EXPECT_EQ(Describe(c.verdict, c.submission, c.transfer), c.text);
    }
}

}  // namespace
}  // namespace kiln::test
