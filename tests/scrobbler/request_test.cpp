// Signed request bodies, and what a request to the (fake) service leaves as
// outcome and status text, faults included.
#include <gtest/gtest.h>

#include <string>

#include "fake_scrobbler.h"
#include "host/paths.h"
#include "host/sample_media.h"
#include "host/text_services.h"
#include "module_host.h"
#include "scrobbler/service_request.h"
#include "scrobbler/status.h"
#include "scrobbler/text_service.h"

namespace kiln::test {
namespace {

std::string Take(char* body) {
    std::string text = body ? body : "";
    TextRelease(body);
    return text;
}

TEST(SignedBody, ValuesArePercentEncodedInTheBodyButSignedRaw) {
    ModuleHost::Get().Reset();
    ScrobbleParams params{
        {"artist", "A & B"},         {"track", "Caf\xC3\xA9 del Mar"},
        {"album", "x=y+z"},          {"method", "track.updateNowPlaying"},
        {"api_key", ScrobbleApiKey}, {"sk", "key"},
    };
    const std::string body = Take(BuildSignedBody(params));
    const std::string signature = std::string("albumx=y+zapi_key") + ScrobbleApiKey +
                                  "artistA & Bmethodtrack.updateNowPlayingskkey"
                                  "trackCaf\xC3\xA9 del Mar" +
                                  ScrobbleSharedSecret;
    EXPECT_EQ(body, std::string("album=x%3Dy%2Bz&api_key=") + ScrobbleApiKey +
                        "&artist=A%20%26%20B&method=track.updateNowPlaying&sk=key"
                        "&track=Caf%C3%A9%20del%20Mar&api_sig=" +
                        host::Md5Hex(signature));
    EXPECT_EQ(BuildSignedBody({}), nullptr);
}

TEST(SignedBody, NamesGoInPlainByteOrder) {
    ModuleHost::Get().Reset();
    // As a two-track submission names them: capitals before "[", "[" before letters.
    ScrobbleParams params;
    for (const char* name : {"track[1]", "albumArtist[0]", "album[0]", "trackNumber[0]", "sk",
                             "timestamp[1]", "duration[0]", "artist[1]", "method", "api_key"}) {
        params[name] = "v";
    }
    std::string body = Take(BuildSignedBody(params));
    EXPECT_EQ(body.substr(0, body.find("&api_sig=")),
              "albumArtist[0]=v&album[0]=v&api_key=v&artist[1]=v&duration[0]=v&method=v&sk=v&"
              "timestamp[1]=v&trackNumber[0]=v&track[1]=v");
}

class ServiceRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        ModuleHost::Get().Reset();
        fake_.MapIntoHost();
        host::SampleSpec recipe;
        recipe.fileName = "request.wav";
        recipe.title = L"Title";
        recipe.artist = L"Artist";
        recipe.seconds = 40;
        file_ = host::FromFsPath(host::WriteSampleTrack(ModuleHost::Get().MediaFolder(), recipe));
        SetScrobblerStatus(L"before", false);
    }

    ScrobbleOutcome Send(bool submission) {
        ScrobbleParams params{{"method", submission ? "track.scrobble" : "track.updateNowPlaying"},
                              {"api_key", ScrobbleApiKey},
                              {"sk", FakeScrobbleService::kSessionKey}};
        const std::string suffix = submission ? "[0]" : "";
        params["artist" + suffix] = "Artist";
        params["track" + suffix] = "Title";
        params["duration" + suffix] = "40";
        if (submission) {
            params["timestamp[0]"] = "1700000000";
        }
        return PostToScrobbleService(BuildSignedBody(params), submission, file_.c_str());
    }

    FakeScrobbleService fake_;
    std::wstring file_;
};

TEST_F(ServiceRequest, RepliesAndFaultsEndInOutcomeAndStatus) {
    const std::wstring playing = L"\n\nPlaying: Artist - Title";
    const struct {
        const char* name;
        bool fault;
        Fault injected;
        bool submission;
        ScrobbleOutcome outcome;
        std::wstring status;
    } cases[] = {
        {"accepted update",
         false,
         {},
         false,
         ScrobbleOutcome::Accepted,
         L"Currently playing item should show as 'scrobbling now'. Scrobbling will occur once "
         L"enough has been played." +
             playing},
        {"accepted scrobble",
         false,
         {},
         true,
         ScrobbleOutcome::Accepted,
         L"Currently playing item was scrobbled." + playing},
        {"error 9 with message", true, Fault::Error(9), true, ScrobbleOutcome::ErrorReply,
         L"Scrobbling isn't working most likely due to an invalid authorisation token. Please try "
         L"to re-authenticate your account with last.fm after using the 'revoke scrobbler access' "
         L"button to enable the setup mode. [9]"},
        {"error 6 without message keeps the status", true, Fault::Error(6, false), false,
         ScrobbleOutcome::ErrorReply, L"before"},
        {"ignored update",
         true,
         {Fault::Kind::Ignored, 1},
         false,
         ScrobbleOutcome::Rejected,
         L"Now playing update was rejected - scrobble attempt will also be skipped [1] (artist "
         L"ignored)" +
             playing},
        {"ignored scrobble",
         true,
         {Fault::Kind::Ignored, 5},
         true,
         ScrobbleOutcome::Rejected,
         L"Scrobble submission was rejected [5] (daily scrobble limit exceeded)" + playing},
        {"empty reply",
         true,
         {Fault::Kind::Empty},
         true,
         ScrobbleOutcome::NoReply,
         L"Scrobbling action failed.\nError:  [0]"},
        {"not JSON",
         true,
         {Fault::Kind::NotJson},
         true,
         ScrobbleOutcome::Unparsable,
         L"JSON response from the scrobbler service could not be parsed [3]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetScrobblerStatus(L"before", false);
        if (c.fault) {
            fake_.FailNext(c.injected);
        }
        EXPECT_EQ(Send(c.submission), c.outcome);
        EXPECT_EQ(ScrobblerStatusCopy(), c.status);
    }
    // Every request arrived signed as the service checks it, the body posted whole.
    for (const auto& request : fake_.Requests()) {
        EXPECT_EQ(request.httpMethod, "POST");
        EXPECT_EQ(request.target, "/2.0/?format=json");
        EXPECT_TRUE(request.signatureValid) << request.body;
        EXPECT_EQ(request.bodyNames.back(), "api_sig");
    }
    EXPECT_EQ(fake_.Scrobbles().size(), 1u);
    EXPECT_EQ(fake_.AcceptedNowPlaying(), 1u);
}

TEST_F(ServiceRequest, RefusedConnectionIsATransferFailure) {
    host::SubstituteHost::Instance().MapHost("ws.audioscrobbler.com",
                                             "http://127.0.0.1:" + std::to_string(ClosedPort()));
    EXPECT_EQ(Send(true), ScrobbleOutcome::NoReply);
    const std::wstring status = ScrobblerStatusCopy();
    EXPECT_EQ(status.rfind(L"Scrobbling action failed.\nError: ", 0), 0u) << status;
    EXPECT_GT(status.size(), std::wstring(L"Scrobbling action failed.\nError:  [7]").size());
    EXPECT_EQ(status.substr(status.size() - 4), L" [7]");  // CURLE_COULDNT_CONNECT
}

TEST_F(ServiceRequest, NoRequestHandleMeansNotSent) {
    ModuleHost::Get().host().SetWebAvailable(false);
    EXPECT_EQ(Send(false), ScrobbleOutcome::NotSent);
    EXPECT_EQ(ScrobblerStatusCopy(),
              L"Unable to create a curl / web connection needed for scrobbling.");
    EXPECT_EQ(fake_.RequestCount(), 0u);
    EXPECT_EQ(PostToScrobbleService(nullptr, true, file_.c_str()), ScrobbleOutcome::NotSent);
}

// The one slow case: the request gives up after its 10 s time-out.
TEST_F(ServiceRequest, ReplySlowerThanTheTimeOutIsATransferFailure) {
    Fault slow{Fault::Kind::Slow};
    slow.delayMs = 15000;
    fake_.FailNext(slow);
    EXPECT_EQ(Send(true), ScrobbleOutcome::NoReply);
    const std::wstring status = ScrobblerStatusCopy();
    EXPECT_EQ(status.rfind(L"Scrobbling action failed.\nError: ", 0), 0u) << status;
    EXPECT_EQ(status.substr(status.size() - 5), L" [28]");  // CURLE_OPERATION_TIMEDOUT
    EXPECT_TRUE(fake_.Scrobbles().empty());
}

}  // namespace
}  // namespace kiln::test
