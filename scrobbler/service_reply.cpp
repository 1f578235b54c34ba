#include "scrobbler/service_reply.h"

#include <climits>

#include "core/wide_format.h"

namespace kiln {

bool ParseReply(rapidjson::Document& document, std::string_view reply) {
    document.Parse<rapidjson::kParseIterativeFlag>(reply.data(), reply.size());
    return !document.HasParseError();
}

const rapidjson::Value& FindMember(const rapidjson::Value& value, const char* name) {
    static const rapidjson::Value none;
    if (!value.IsObject()) {
        return none;
    }
    auto found = value.FindMember(name);
    return found == value.MemberEnd() ? none : found->value;
}

int LenientDecimal(const char* text) {
    if (!text) {
        return 0;
    }
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (*p - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

ReplyVerdict ClassifyReply(std::string_view reply, bool submission) {
    ReplyVerdict verdict;
    if (reply.empty()) {
        verdict.outcome = ScrobbleOutcome::NoReply;
        return verdict;
    }
    if (reply.size() > kReplyLimit) {
        verdict.outcome = ScrobbleOutcome::Unreadable;
        return verdict;
    }
    rapidjson::Document document;
    if (!ParseReply(document, reply)) {
        verdict.outcome = ScrobbleOutcome::Unparsable;
        verdict.parseError = static_cast<int>(document.GetParseError());
        return verdict;
    }
    const rapidjson::Value& error = FindMember(document, "error");
    if (error.IsInt()) {
        verdict.outcome = ScrobbleOutcome::ErrorReply;
        verdict.code = error.GetInt();
        verdict.hasMessage = FindMember(document, "message").IsString();
        return verdict;
    }
    const rapidjson::Value& result = submission
                                         ? FindMember(FindMember(document, "scrobbles"), "scrobble")
                                         : FindMember(document, "nowplaying");
    const rapidjson::Value& ignored = FindMember(result, "ignoredMessage");
    // Only a code given as text counts; the service sends it as a string.
    const rapidjson::Value& code = FindMember(ignored, "code");
    if (ignored.IsObject() && code.IsString()) {
        int number = LenientDecimal(code.GetString());
        if (number > 0) {
            verdict.outcome = ScrobbleOutcome::Rejected;
            verdict.code = number;
            return verdict;
        }
    }
    verdict.outcome = ScrobbleOutcome::Accepted;
    return verdict;
}

const wchar_t* ErrorReplyText(int code) {
    switch (code) {
        case 4:
        case 9:
            return L"Scrobbling isn't working most likely due to an invalid authorisation token. "
                   L"Please try to re-authenticate your account with last.fm after using the "
                   L"'revoke scrobbler access' button to enable the setup mode. [%d]";
        case 6:
            return L"An invalid parameter was reported by the service.\nIf this persists please "
                   L"check for an updated ORBIT release &/or contact support for help.";
        case 10:
        case 26:
            return L"Scrobbling isn't allowed & ORBIT's api key may have been revoked or there's "
                   L"an issue with last.fm. [%d]\nPlease check for an updated ORBIT release &/or "
                   L"contact support for help.";
        case 11:
        case 16:
            return L"Scrobbling wasn't able to be completed at this time & will need to be "
                   L"re-submitted on the next scrobble [%d].\nIf this keeps happening please "
                   L"check for an updated ORBIT release &/or contact support for help.";
        case 29:
            return L"Scrobbling wasn't able to be completed at this time as the service's rate "
                   L"limit was exceeded & will need to be re-submitted on the next scrobble "
                   L"[%d].\nIf this keeps happening please check for an updated ORBIT release "
                   L"&/or contact support for help.";
        default:
            return L"Scrobbling failed with an unexpected error code [%d]\nPlease check for an "
                   L"updated ORBIT release &/or contact support for help.";
    }
}

const wchar_t* RejectionReason(int code) {
    switch (code) {
        case 1:
            return L"(artist ignored)";
        case 2:
            return L"(title ignored)";
        case 5:
            return L"(daily scrobble limit exceeded)";
        default:
            return L"";
    }
}

bool DescribeVerdict(const ReplyVerdict& verdict, bool submission, const TransferResult& transfer,
                     const wchar_t* playingTitle, wchar_t* out, size_t size) {
    const wchar_t* title = playingTitle ? playingTitle : L"";
    switch (verdict.outcome) {
        case ScrobbleOutcome::NotSent:
            return false;
        case ScrobbleOutcome::NoReply:
            FormatWide(out, size, L"Scrobbling action failed.\nError: %hs [%d]",
                       {transfer.errorText, transfer.resultCode});
            return true;
        case ScrobbleOutcome::Unparsable:
            FormatWide(out, size,
                       L"JSON response from the scrobbler service could not be parsed [%d]",
                       {verdict.parseError});
            return true;
        case ScrobbleOutcome::Unreadable:
            FormatWide(out, size,
                       L"The reply from the scrobbler service could not be read as it was far "
                       L"larger than any reply the service sends. The scrobbles will be "
                       L"re-submitted on the next scrobble.",
                       {});
            return true;
        case ScrobbleOutcome::ErrorReply:
            if (!verdict.hasMessage) {
                return false;
            }
            FormatWide(out, size, ErrorReplyText(verdict.code), {verdict.code});
            return true;
        case ScrobbleOutcome::Rejected:
            FormatWide(out, size, L"%s [%d] %s\n\n%s",
                       {submission ? L"Scrobble submission was rejected"
                                   : L"Now playing update was rejected - scrobble attempt will "
                                     L"also be skipped",
                        verdict.code, RejectionReason(verdict.code), title});
            return true;
        case ScrobbleOutcome::Accepted:
            FormatWide(out, size,
                       submission ? L"Currently playing item was scrobbled.\n\n%s"
                                  : L"Currently playing item should show as 'scrobbling now'. "
                                    L"Scrobbling will occur once enough has been played.\n\n%s",
                       {title});
            return true;
    }
    return false;
}

}  // namespace kiln
