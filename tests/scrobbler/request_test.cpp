// What a request to the (fake) service leaves as
// outcome and status text, faults included.
#include <gtest/gtest.h>

#include <string>

#include "fake_scrobbler.h"
#include "host/sample_media.h"
#include "scrobbler/service_request.h"
#include "scrobbler/status.h"
#include "services/paths.h"
#include "services/text_services.h"
#include "support/module_host.h"

namespace kiln::test {
namespace {

class ServiceRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        ModuleHost& modules = ModuleHost::Get();
        modules.host().SetWebAvailable(true);
        modules.host().MapHost("ws.audioscrobbler.com", fake_.Address());
        file_ = host::FromFsPath(host::WriteSampleTrack(
            modules.MediaFolder(), {"request.wav", L"Title", L"Artist", L"", L"", 0, 40}));
        SetScrobblerStatus(L"before", false);
    }

    ScrobbleOutcome Send(bool submission) {
        const std::string suffix = submission ? "[0]" : "";
        ScrobbleParams params{{"method", submission ? "track.scrobble" : "track.updateNowPlaying"},
                              {"api_key", ScrobbleApiKey},
                              {"sk", FakeScrobbleService::kSessionKey},
                              {"artist" + suffix, "Artist"},
                              {"track" + suffix, "Title"}};
        if (submission) {
            params["timestamp[0]"] = "1700000000";
        }
        return PostToScrobbleService(BuildSignedBody(params), submission, file_.c_str());
    }

    FakeScrobbleService fake_;
    std::wstring file_;
};

TEST_F(ServiceRequest, EachReplyEndsInItsOutcomeAndStatus) {
    using O = ScrobbleOutcome;
    auto raw = [](const char* body) { return Fault{.kind = Fault::Kind::Raw, .body = body}; };
    auto error = [](int code) { return Fault{.code = code}; };
    auto ignored = [](int code) { return Fault{.kind = Fault::Kind::Ignored, .code = code}; };
    const Fault none{.kind = Fault::Kind::Slow};
    const std::wstring playing = L"\n\nPlaying: Artist - Title";
    const std::wstring scrobbled = L"Currently playing item was scrobbled." + playing;
    const std::wstring nowPlaying =
        L"Currently playing item should show as 'scrobbling now'. "
        L"Scrobbling will occur once enough has been played." +
        playing;
    const std::wstring updateRejected =
        L"Now playing update was rejected - scrobble attempt will also be skipped [";
    const std::wstring rejected = L"Scrobble submission was rejected [";
    const std::wstring invalidToken =
        L"Scrobbling isn't working most likely due to an invalid authorisation token. Please try "
        L"to re-authenticate your account with last.fm after using the 'revoke scrobbler access' "
        L"button to enable the setup mode. [";
    const std::wstring support =
        L"\nPlease check for an updated ORBIT release &/or contact support for help.";
    const std::wstring badKey =
        L"Scrobbling isn't allowed & ORBIT's api key may have been "
        L"revoked or there's an issue with last.fm. [";
    const std::wstring retry =
        L"Scrobbling wasn't able to be completed at this time & will need "
        L"to be re-submitted on the next scrobble [";
    const std::wstring retryTail =
        L"].\nIf this keeps happening please check for an updated "
        L"ORBIT release &/or contact support for help.";
    const std::wstring unparsable =
        L"JSON response from the scrobbler service could not be parsed [";
    // Nesting that would exhaust a recursive parser's stack; a reply far
    // larger than any the service sends.
    const std::string deep(200000, '['), huge = R"({"pad":")" + std::string(300000, 'x') + "\"}";
    const struct {
        Fault reply;
        bool submission;
        ScrobbleOutcome outcome;
        std::wstring status;
    } cases[] = {
        {none, false, O::Accepted, nowPlaying},
        {none, true, O::Accepted, scrobbled},
        {error(4), true, O::ErrorReply, invalidToken + L"4]"},
        {error(9), false, O::ErrorReply, invalidToken + L"9]"},
        {error(6), true, O::ErrorReply,
         L"An invalid parameter was reported by the service.\nIf this persists please check for "
         L"an updated ORBIT release &/or contact support for help."},
        {error(10), true, O::ErrorReply, badKey + L"10]" + support},
        {error(26), false, O::ErrorReply, badKey + L"26]" + support},
        {error(11), true, O::ErrorReply, retry + L"11" + retryTail},
        {error(16), false, O::ErrorReply, retry + L"16" + retryTail},
        {error(29), true, O::ErrorReply,
         L"Scrobbling wasn't able to be completed at this time as the service's rate limit was "
         L"exceeded & will need to be re-submitted on the next scrobble [29" +
             retryTail},
        {error(13), true, O::ErrorReply,
         L"Scrobbling failed with an unexpected error code [13]" + support},
        {{.code = 9, .withMessage = false}, true, O::ErrorReply, L"before"},
        {ignored(1), false, O::Rejected, updateRejected + L"1] (artist ignored)" + playing},
        {ignored(2), true, O::Rejected, rejected + L"2] (title ignored)" + playing},
        {ignored(5), true, O::Rejected, rejected + L"5] (daily scrobble limit exceeded)" + playing},
        {ignored(3), true, O::Rejected, rejected + L"3] " + playing},
        {raw(R"({"error":"9","message":"x"})"), true, O::Accepted, scrobbled},
        {raw(R"({"nowplaying":{"ignoredMessage":{"code":" 2x"}}})"), false, O::Rejected,
         updateRejected + L"2] (title ignored)" + playing},
        {raw(R"({"nowplaying":{"ignoredMessage":{"code":"-3"}}})"), false, O::Accepted, nowPlaying},
        // Only a code sent as text is read, and only a single scrobble's.
        {raw(R"({"nowplaying":{"ignoredMessage":{"code":1}}})"), false, O::Accepted, nowPlaying},
        {raw(R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"1"}}]}})"), true, O::Accepted,
         scrobbled},
        {raw(R"({"nowplaying":{"ignoredMessage":{"code":"1"}}})"), true, O::Accepted, scrobbled},
        {raw(""), true, O::NoReply, L"Scrobbling action failed.\nError:  [0]"},
        {raw("<html><body>Service Unavailable</body></html>"), true, O::Unparsable,
         unparsable + L"3]"},
        {raw(R"({"error":9)"), false, O::Unparsable, unparsable + L"6]"},
        {raw(deep.c_str()), true, O::Unparsable, unparsable + L"3]"},
        {raw(huge.c_str()), true, O::Unreadable,
         L"The reply from the scrobbler service could not be read as it was far larger than any "
         L"reply the service sends. The scrobbles will be re-submitted on the next scrobble."},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        SetScrobblerStatus(L"before", false);
        fake_.FailNext(cases[i].reply);
        EXPECT_EQ(Send(cases[i].submission), cases[i].outcome);
        EXPECT_EQ(ScrobblerStatusCopy(), cases[i].status);
    }
}

// Without a request handle nothing is sent; a stalled service cannot hold
// the worker: the request gives up after 10 s.
TEST_F(ServiceRequest, NoHandleSendsNothingAndAStalledServiceTimesOut) {
    ModuleHost::Get().host().SetWebAvailable(false);
    EXPECT_EQ(Send(false), ScrobbleOutcome::NotSent);
    EXPECT_EQ(ScrobblerStatusCopy(),
              L"Unable to create a curl / web connection needed for scrobbling.");
    EXPECT_TRUE(fake_.Requests().empty());

    ModuleHost::Get().host().SetWebAvailable(true);
    fake_.FailNext({.kind = Fault::Kind::Slow, .delayMs = 15000});
    EXPECT_EQ(Send(true), ScrobbleOutcome::NoReply);
    const std::wstring status = ScrobblerStatusCopy();
    EXPECT_EQ(status.rfind(L"Scrobbling action failed.\nError: ", 0), 0u)
        << host::WideToUtf8(status);
    EXPECT_EQ(status.substr(status.size() - 5), L" [28]");  // timed out
}

}  // namespace
}  // namespace kiln::test
