// The scrobbler page and the account authorisation, as the user meets them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/window_system.h"
#include "resources/resource_ids.h"
#include "scrobbler/deployment.h"
#include "scrobbler_support.h"

namespace kiln::test {
namespace {

const std::wstring kConnectivity =
    L"There seems to be an issue with ORBIT communicating with the Last.fm site. Please check you "
    L"have a working internet connection & the Last.fm site is accessible.";
const std::wstring kAccountText =
    L"ORBIT is configured to scrobble what is listened to for 'kiln-listener'";
const std::wstring kWaitingForPlay = L"Waiting for first valid playback to start scrobbling";
const std::wstring kWaitingForAuth = L"Waiting for authorisation to be allowed (see above)";
const std::wstring kDisabled = L"Scrobbling is currently disabled";

std::optional<std::wstring> Setting(ScrobblerHost& scrobbler, const wchar_t* key) {
    return scrobbler.plugin().settings().Get(L"gen_kiln", key);
}

host::ControlState Control(ScrobblerHost& scrobbler, int id) {
    auto control = scrobbler.plugin().windows().Control(scrobbler.Page(), id);
    return control.value_or(host::ControlState{});
}

void Click(ScrobblerHost& scrobbler, int id) {
    ASSERT_TRUE(scrobbler.plugin().windows().ClickButton(scrobbler.Page(), id));
}

// The button's text and the status, as the user reads the page.
std::wstring Shown(ScrobblerHost& scrobbler) {
    return scrobbler.ControlText(IDC_SCROBBLE_BUTTON) + L" | " + scrobbler.Status();
}

int DialogId(ScrobblerHost& scrobbler) {
    return scrobbler.plugin().windows().DialogTemplateId(scrobbler.Page());
}

std::wstring AuthPage(const std::string& token) {
    const std::string address = "https://" KILN_SCROBBLE_AUTH_HOST
                                "/api/auth/?api_key=" KILN_SCROBBLE_API_KEY "&token=" +
                                token;
    return std::wstring(address.begin(), address.end());
}

TEST(ScrobblerPage, OptionsShowTheSettingsAndAreWrittenAtOnce) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 5);
    scrobbler.host().SetLibraryFolders({scrobbler.Media()});
    scrobbler.Start();
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Revoke\nscrobbler\naccess");
    EXPECT_TRUE(Control(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY).visible);
    const struct {
        int click;  // 0: none, the page as opened
        int flags;  // bits: enable, now playing, library only
        const wchar_t* stored;
        std::wstring status;
    } steps[] = {
        {0, 5, L"5", kWaitingForPlay},
        {IDC_SCROBBLE_NOW_PLAYING, 7, L"7", kWaitingForPlay},
        {IDC_SCROBBLE_LIBRARY_ONLY, 3, L"3", kWaitingForPlay},
        {IDC_SCROBBLE_ENABLE, 2, L"(none)", kDisabled},  // the default: no key stored
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.flags);
        if (step.click) {
            Click(scrobbler, step.click);
        }
        EXPECT_EQ(Setting(scrobbler, L"scrobble").value_or(L"(none)"), step.stored);
        EXPECT_EQ(scrobbler.Status(), step.status);
        int checked = 0;
        for (int id : {IDC_SCROBBLE_LIBRARY_ONLY, IDC_SCROBBLE_NOW_PLAYING, IDC_SCROBBLE_ENABLE}) {
            checked =
                checked * 2 + scrobbler.plugin().windows().IsItemChecked(scrobbler.Page(), id);
        }
        EXPECT_EQ(checked, step.flags);
        // The options below "Enable" are greyed while scrobbling is off.
        EXPECT_EQ(Control(scrobbler, IDC_SCROBBLE_NOW_PLAYING).enabled +
                      Control(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY).enabled,
                  (step.flags & 1) * 2);
    }
    EXPECT_TRUE(fake.Requests().empty());
}

TEST(Authorisation, TokenBrowserAndSessionThenRevoke) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3, false);
    scrobbler.Start();
    auto& windows = scrobbler.plugin().windows();
    EXPECT_EQ(scrobbler.Status(), kWaitingForAuth);
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_ACCOUNT),
              L"To scrobble what you're listening to in ORBIT you first need to authorise it "
              L"against your Last.fm account by following the steps below.");
    EXPECT_FALSE(Control(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY).visible);  // no library

    // Without the service: the connectivity text, and still the first step.
    scrobbler.MapServiceToClosedPort();
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(Shown(scrobbler), L"Authorise Scrobbling | " + kConnectivity);

    scrobbler.MapService(fake.Address());
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    ASSERT_EQ(fake.IssuedTokens().size(), 1u);
    const std::string token = fake.IssuedTokens()[0];
    EXPECT_EQ(Shown(scrobbler),
              L"Complete\nAuthorise | Authorisation needs to be completed via "
              L"the Last.fm web page which was just opened in the default "
              L"browser.");

    // Pressed again before the user allowed access: a reminder, the page again.
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(scrobbler.Status(),
              L"Please complete the authorisation process on the Last.fm site.\nA webpage should "
              L"have been opened in the default browser to do this.");
    EXPECT_EQ(windows.OpenedUrls(), (std::vector<std::wstring>{AuthPage(token), AuthPage(token)}));

    fake.SetTokens(FakeScrobbleService::Token::Allowed);
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(Setting(scrobbler, L"sk"), std::wstring(L"fakesessionkey0123456789abcdef01"));
    EXPECT_EQ(DialogId(scrobbler), IDD_SCROBBLER_AUTHORISED);
    EXPECT_EQ(windows.Page(scrobbler.PageId())->tabs[0].dialogId, IDD_SCROBBLER_AUTHORISED);
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_ACCOUNT), kAccountText);
    EXPECT_EQ(fake.Requests("auth.getSession")[0].httpMethod, "GET");

    // The new key scrobbles at once; its status is kept for a reopened page.
    scrobbler.PlayAndAdvance(scrobbler.Track("first.wav", L"First", L"Newly"), 30);
    const std::wstring scrobbled =
        L"Currently playing item was scrobbled.\n\nPlaying: Newly - First";
    ASSERT_TRUE(scrobbler.WaitForStatus(scrobbled));
    windows.ClosePreferences();
    ASSERT_TRUE(windows.OpenPage(scrobbler.PageId()));
    EXPECT_EQ(scrobbler.Status(), scrobbled);

    // Revoking answered with No changes nothing.
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    ASSERT_EQ(windows.MessageBoxes().size(), 1u);
    const host::MessageBoxRecord box = windows.MessageBoxes()[0];
    EXPECT_EQ(box.flags, 0x0004u | 0x0020u | 0x0100u);  // yes/no, question, No the default
    EXPECT_EQ(box.text.rfind(L"Do you want to continue revoking scrobbling support?\n\n", 0), 0u);
    EXPECT_TRUE(Setting(scrobbler, L"sk").has_value());

    windows.QueueMessageBoxAnswer(host::win::kIdYes);
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_FALSE(Setting(scrobbler, L"sk").has_value());
    EXPECT_FALSE(Setting(scrobbler, L"lfm").has_value());
    EXPECT_EQ(DialogId(scrobbler), IDD_SCROBBLER_SETUP);
    // The status is kept through the rebuilt page.
    EXPECT_EQ(Shown(scrobbler), L"Authorise Scrobbling | " + scrobbled);
    // Switching scrobbling off drops the kept text, for good.
    Click(scrobbler, IDC_SCROBBLE_ENABLE);
    Click(scrobbler, IDC_SCROBBLE_ENABLE);
    windows.ClosePreferences();
    ASSERT_TRUE(windows.OpenPage(scrobbler.PageId()));
    EXPECT_EQ(scrobbler.Status(), kWaitingForAuth);

    // Without a key nothing more is sent, nor cached.
    const size_t sent = fake.Requests().size();
    scrobbler.PlayAndAdvance(scrobbler.Track("second.wav", L"Second", L"Newly"), 30);
    scrobbler.plugin().RunFor(1200);
    EXPECT_EQ(fake.Requests().size(), sent);
    EXPECT_FALSE(std::filesystem::exists(scrobbler.CacheFile()));
}

TEST(Authorisation, ServiceErrorsAndAnExpiredTokenStartOverAndARestartForgetsTheToken) {
    FakeScrobbleService fake;
    TempFolder profile;
    {
        ScrobblerHost scrobbler(fake, 1, false, profile.path());
        scrobbler.Start();
        auto failed = [&](Fault fault, const char* method) {
            fault.onlyMethod = method;
            fake.FailNext(fault);
            Click(scrobbler, IDC_SCROBBLE_BUTTON);
            return scrobbler.Status();
        };
        const char* token = "auth.gettoken";
        const Fault html{.kind = Fault::Kind::Raw,
                         .body = "<html><body>Service Unavailable</body></html>"};
        EXPECT_EQ(failed({.code = 10}, token),
                  L"Last Response > Error code: 10, Reason: 'Invalid API key - You must be "
                  L"granted a valid key by last.fm'");
        EXPECT_EQ(failed({.code = 11, .withMessage = false}, token),
                  L"Last Response > Error code: 11, Reason: 'unknown reason missing message'");
        EXPECT_EQ(failed(html, token), L"<html><body>Service Unavailable</body></html>");
        EXPECT_EQ(failed({.kind = Fault::Kind::Raw}, token), kConnectivity);
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
        EXPECT_TRUE(scrobbler.plugin().windows().OpenedUrls().empty());

        Click(scrobbler, IDC_SCROBBLE_BUTTON);  // a token this time
        ASSERT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
        const char* session = "auth.getSession";
        const std::wstring keyText =
            L"There seems to be an issue with ORBIT's api key.\nPlease check "
            L"for an updated ORBIT release.";
        EXPECT_EQ(failed({.code = 26}, session), keyText);
        EXPECT_EQ(failed({.code = 10}, session), keyText);
        EXPECT_EQ(failed({.code = 29}, session),
                  L"Last Response > Error code: 29, Reason: 'Operation failed - Most likely the "
                  L"backend service failed. Please try again.'");
        EXPECT_EQ(failed(html, session), kConnectivity);
        // Still the token's step: each press asked for the session again.
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
        EXPECT_EQ(fake.Requests("auth.getSession").size(), 4u);

        fake.SetTokens(FakeScrobbleService::Token::Expired);
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        EXPECT_EQ(Shown(scrobbler),
                  L"Authorise Scrobbling | It's taken too long to authorise ORBIT with Last.fm. "
                  L"The cached access token is no longer valid. Please restart the authorisation "
                  L"process.");
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        EXPECT_EQ(fake.IssuedTokens().size(), 2u);
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
    }
    ScrobblerHost restarted(fake, 1, false, profile.path());
    restarted.Start();
    EXPECT_EQ(restarted.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
    Click(restarted, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(fake.IssuedTokens().size(), 3u);
    EXPECT_EQ(fake.Requests("auth.getSession").size(), 5u);
    EXPECT_FALSE(Setting(restarted, L"sk").has_value());
}

}  // namespace
}  // namespace kiln::test
