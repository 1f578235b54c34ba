// The scrobbler page and the account authorisation, as the user meets them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/settings_store.h"
#include "host/text_services.h"
#include "host/window_system.h"
#include "resources/resource_ids.h"
#include "scrobbler/deployment.h"
#include "scrobbler_support.h"

namespace kiln::test {
namespace {

constexpr const wchar_t* kConnectivity =
    L"There seems to be an issue with ORBIT communicating with the Last.fm site. Please check you "
    L"have a working internet connection & the Last.fm site is accessible.";

std::optional<std::wstring> Setting(ScrobblerHost& scrobbler, const wchar_t* key) {
    return scrobbler.plugin().settings().Get(L"gen_kiln", key);
}

bool Enabled(ScrobblerHost& scrobbler, int id) {
    auto control = scrobbler.plugin().windows().Control(scrobbler.Page(), id);
    return control && control->enabled;
}

bool Visible(ScrobblerHost& scrobbler, int id) {
    auto control = scrobbler.plugin().windows().Control(scrobbler.Page(), id);
    return control && control->visible;
}

int Checked(ScrobblerHost& scrobbler, int id) {
    return scrobbler.plugin().windows().IsItemChecked(scrobbler.Page(), id);
}

void Click(ScrobblerHost& scrobbler, int id) {
    ASSERT_TRUE(scrobbler.plugin().windows().ClickButton(scrobbler.Page(), id));
}

int OpenDialogId(ScrobblerHost& scrobbler) {
    return scrobbler.plugin().windows().DialogTemplateId(scrobbler.Page());
}

std::wstring AuthPage(const std::string& token) {
    const std::string address =
        std::string("https://" KILN_SCROBBLE_AUTH_HOST "/api/auth/?api_key=") +
        KILN_SCROBBLE_API_KEY + "&token=" + token;
    return std::wstring(address.begin(), address.end());
}

TEST(ScrobblerPage, LayoutAndWaitingTextFollowTheSettings) {
    FakeScrobbleService fake;
    const struct {
        const char* name;
        int flags;
        bool authorised;
        bool library;
        int dialog;
        std::wstring status, account, caption;
    } cases[] = {
        {"off", 0, true, true, IDD_SCROBBLER_AUTHORISED, L"Scrobbling is currently disabled",
         L"ORBIT is configured to scrobble what is listened to for 'kiln-listener'",
         L"Revoke\nscrobbler\naccess"},
        {"on and authorised", 5, true, true, IDD_SCROBBLER_AUTHORISED,
         L"Waiting for first valid playback to start scrobbling",
         L"ORBIT is configured to scrobble what is listened to for 'kiln-listener'",
         L"Revoke\nscrobbler\naccess"},
        {"on, not authorised, no library", 3, false, false, IDD_SCROBBLER_SETUP,
         L"Waiting for authorisation to be allowed (see above)",
         L"To scrobble what you're listening to in ORBIT you first need to authorise it against "
         L"your Last.fm account by following the steps below.",
         L"Authorise Scrobbling"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScrobblerHost scrobbler(fake, c.flags, c.authorised);
        if (c.library) {
            scrobbler.host().SetLibraryFolders({scrobbler.Media()});
        }
        scrobbler.Start();
        EXPECT_EQ(OpenDialogId(scrobbler), c.dialog);
        EXPECT_EQ(scrobbler.Status(), c.status);
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_ACCOUNT), c.account);
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), c.caption);
        EXPECT_TRUE(
            scrobbler.plugin().windows().Control(scrobbler.Page(), IDC_SCROBBLE_BUTTON)->styled);
        EXPECT_EQ(Checked(scrobbler, IDC_SCROBBLE_ENABLE), (c.flags & 1) ? 1 : 0);
        EXPECT_EQ(Checked(scrobbler, IDC_SCROBBLE_NOW_PLAYING), (c.flags & 2) ? 1 : 0);
        EXPECT_EQ(Checked(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY), (c.flags & 4) ? 1 : 0);
        EXPECT_EQ(Enabled(scrobbler, IDC_SCROBBLE_NOW_PLAYING), (c.flags & 1) != 0);
        EXPECT_EQ(Enabled(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY), (c.flags & 1) != 0);
        EXPECT_EQ(Visible(scrobbler, IDC_SCROBBLE_LIBRARY_ONLY), c.library);
        if (!c.authorised) {
            EXPECT_TRUE(Visible(scrobbler, IDC_SCROBBLE_INTRO));
        }
    }
    EXPECT_EQ(fake.RequestCount(), 0u);
}

TEST(ScrobblerPage, OptionsAreWrittenAtOnceAndTheDefaultRemovesTheKey) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 2);
    scrobbler.host().SetLibraryFolders({scrobbler.Media()});
    scrobbler.Start();
    const struct {
        int control;
        std::optional<std::wstring> stored;
        std::wstring status;
    } steps[] = {
        {IDC_SCROBBLE_ENABLE, L"3", L"Waiting for first valid playback to start scrobbling"},
        {IDC_SCROBBLE_LIBRARY_ONLY, L"7", L"Waiting for first valid playback to start scrobbling"},
        {IDC_SCROBBLE_LIBRARY_ONLY, L"3", L"Waiting for first valid playback to start scrobbling"},
        {IDC_SCROBBLE_ENABLE, std::nullopt, L"Scrobbling is currently disabled"},
        {IDC_SCROBBLE_NOW_PLAYING, L"0", L"Scrobbling is currently disabled"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.control);
        // Options greyed with scrobbling off cannot be clicked: switch it on first.
        if (!Enabled(scrobbler, step.control)) {
            Click(scrobbler, IDC_SCROBBLE_ENABLE);
            Click(scrobbler, step.control);
            Click(scrobbler, IDC_SCROBBLE_ENABLE);
        } else {
            Click(scrobbler, step.control);
        }
        EXPECT_EQ(Setting(scrobbler, L"scrobble"), step.stored);
        EXPECT_EQ(scrobbler.Status(), step.status);
    }
}

TEST(ScrobblerPage, KeptStatusIsShownOnReopeningUntilScrobblingIsSwitchedOff) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    scrobbler.Start();
    auto track = WriteTrack(scrobbler.Media(), {"kept.wav", L"Kept", L"Status", L"", L"", 0, 60});
    scrobbler.PlayAndAdvance(track, 30);
    const std::wstring scrobbled =
        L"Currently playing item was scrobbled.\n\nPlaying: Status - Kept";
    ASSERT_TRUE(scrobbler.WaitForStatus(scrobbled));
    auto& windows = scrobbler.plugin().windows();
    windows.ClosePreferences();
    ASSERT_TRUE(windows.OpenPage(scrobbler.PageId()));
    EXPECT_EQ(scrobbler.Status(), scrobbled);
    Click(scrobbler, IDC_SCROBBLE_ENABLE);
    EXPECT_EQ(scrobbler.Status(), L"Scrobbling is currently disabled");
    Click(scrobbler, IDC_SCROBBLE_ENABLE);
    EXPECT_EQ(scrobbler.Status(), L"Waiting for first valid playback to start scrobbling");
    windows.ClosePreferences();
    ASSERT_TRUE(windows.OpenPage(scrobbler.PageId()));
    EXPECT_EQ(scrobbler.Status(), L"Waiting for first valid playback to start scrobbling");
}

TEST(Authorisation, TokenBrowserAndSessionThenRevoke) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 3, false);
    scrobbler.Start();
    auto& windows = scrobbler.plugin().windows();

    // Without the service: the connectivity text, and still the first step.
    scrobbler.MapService("http://127.0.0.1:" + std::to_string(ClosedPort()));
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(scrobbler.Status(), kConnectivity);
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");

    scrobbler.MapService(fake.Address());
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    ASSERT_EQ(fake.IssuedTokens().size(), 1u);
    const std::string token = fake.IssuedTokens()[0];
    ASSERT_EQ(windows.OpenedUrls().size(), 1u);
    EXPECT_EQ(windows.OpenedUrls()[0], AuthPage(token));
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
    EXPECT_EQ(scrobbler.Status(),
              L"Authorisation needs to be completed via the Last.fm web page which was just "
              L"opened in the default browser.");

    // Pressed again before the user allowed access: a reminder, the page again.
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(scrobbler.Status(),
              L"Please complete the authorisation process on the Last.fm site.\nA webpage should "
              L"have been opened in the default browser to do this.");
    ASSERT_EQ(windows.OpenedUrls().size(), 2u);
    EXPECT_EQ(windows.OpenedUrls()[1], AuthPage(token));

    fake.AllowTokens();
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(Setting(scrobbler, L"sk"), std::wstring(L"fakesessionkey0123456789abcdef01"));
    EXPECT_EQ(Setting(scrobbler, L"lfm"), std::wstring(L"kiln-listener"));
    EXPECT_EQ(OpenDialogId(scrobbler), IDD_SCROBBLER_AUTHORISED);
    EXPECT_EQ(windows.Page(scrobbler.PageId())->tabs[0].dialogId, IDD_SCROBBLER_AUTHORISED);
    EXPECT_EQ(scrobbler.Status(), L"Scrobbling from ORBIT was authorised for 'kiln-listener'");
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_ACCOUNT),
              L"ORBIT is configured to scrobble what is listened to for 'kiln-listener'");
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Revoke\nscrobbler\naccess");
    auto sessions = fake.Requests("auth.getSession");
    ASSERT_EQ(sessions.size(), 2u);
    for (const auto& request : sessions) {
        EXPECT_EQ(request.httpMethod, "GET");
        EXPECT_TRUE(request.signatureValid) << request.target;
        EXPECT_EQ(request.params.at("token"), token);
    }

    // The new key scrobbles at once.
    auto track = WriteTrack(scrobbler.Media(), {"first.wav", L"First", L"Newly", L"", L"", 0, 60});
    scrobbler.PlayAndAdvance(track, 30);
    ASSERT_TRUE(scrobbler.WaitFor([&] { return fake.Scrobbles().size() == 1; }));

    // Revoking answered with No changes nothing.
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    ASSERT_EQ(windows.MessageBoxes().size(), 1u);
    const host::MessageBoxRecord box = windows.MessageBoxes()[0];
    EXPECT_EQ(box.title, L"Are you sure?");
    EXPECT_EQ(box.flags, 0x0004u | 0x0020u | 0x0100u);
    EXPECT_EQ(box.text.rfind(L"Do you want to continue revoking scrobbling support?\n\n", 0), 0u);
    EXPECT_TRUE(Setting(scrobbler, L"sk").has_value());
    EXPECT_EQ(OpenDialogId(scrobbler), IDD_SCROBBLER_AUTHORISED);

    windows.QueueMessageBoxAnswer(host::win::kIdYes);
    Click(scrobbler, IDC_SCROBBLE_BUTTON);
    EXPECT_FALSE(Setting(scrobbler, L"sk").has_value());
    EXPECT_FALSE(Setting(scrobbler, L"lfm").has_value());
    EXPECT_EQ(OpenDialogId(scrobbler), IDD_SCROBBLER_SETUP);
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
    // The last message of the scrobbler is kept through the rebuilt page.
    EXPECT_EQ(scrobbler.Status(),
              L"Currently playing item was scrobbled.\n\nPlaying: Newly - First");
    // Without a key nothing more is sent.
    auto second =
        WriteTrack(scrobbler.Media(), {"second.wav", L"Second", L"Newly", L"", L"", 0, 60});
    scrobbler.PlayAndAdvance(second, 30);
    scrobbler.plugin().RunFor(1200);
    EXPECT_EQ(fake.Scrobbles().size(), 1u);
    EXPECT_EQ(fake.Requests("track.updateNowPlaying").size(), 1u);
}

TEST(Authorisation, ExpiredTokenStartsOverAndARestartForgetsTheToken) {
    FakeScrobbleService fake;
    TempFolder profile;
    {
        ScrobblerHost scrobbler(fake, 1, false, profile.path());
        scrobbler.Start();
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        fake.ExpireTokens();
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        EXPECT_EQ(
            scrobbler.Status(),
            L"It's taken too long to authorise ORBIT with Last.fm. The cached access token is "
            L"no longer valid. Please restart the authorisation process.");
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        EXPECT_EQ(fake.IssuedTokens().size(), 2u);
        EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
    }
    ScrobblerHost restarted(fake, 1, false, profile.path());
    restarted.Start();
    EXPECT_EQ(restarted.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
    Click(restarted, IDC_SCROBBLE_BUTTON);
    EXPECT_EQ(fake.IssuedTokens().size(), 3u);
    EXPECT_TRUE(fake.Requests("auth.getSession").size() == 1u);
}

TEST(Authorisation, ServiceErrorsAndOddRepliesAreShown) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1, false);
    scrobbler.Start();
    auto tokenFault = [&](Fault fault) {
        fault.onlyMethod = "auth.gettoken";
        fake.FailNext(fault);
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        return scrobbler.Status();
    };
    EXPECT_EQ(tokenFault(Fault::Error(10)),
              L"Last Response > Error code: 10, Reason: 'Invalid API key - You must be granted a "
              L"valid key by last.fm'");
    EXPECT_EQ(tokenFault(Fault::Error(11, false)),
              L"Last Response > Error code: 11, Reason: 'unknown reason missing message'");
    EXPECT_EQ(tokenFault(Fault{Fault::Kind::NotJson}),
              L"<html><body>Service Unavailable</body></html>");
    EXPECT_EQ(tokenFault(Fault{Fault::Kind::Empty}), kConnectivity);
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Authorise Scrobbling");
    EXPECT_TRUE(scrobbler.plugin().windows().OpenedUrls().empty());

    Click(scrobbler, IDC_SCROBBLE_BUTTON);  // a token this time
    ASSERT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
    auto sessionFault = [&](Fault fault) {
        fault.onlyMethod = "auth.getSession";
        fake.FailNext(fault);
        Click(scrobbler, IDC_SCROBBLE_BUTTON);
        return scrobbler.Status();
    };
    const std::wstring keyText =
        L"There seems to be an issue with ORBIT's api key.\nPlease check for an updated ORBIT "
        L"release.";
    EXPECT_EQ(sessionFault(Fault::Error(26)), keyText);
    EXPECT_EQ(sessionFault(Fault::Error(10)), keyText);
    EXPECT_EQ(
        sessionFault(Fault::Error(29)),
        L"Last Response > Error code: 29, Reason: 'Operation failed - Most likely the backend "
        L"service failed. Please try again.'");
    EXPECT_EQ(sessionFault(Fault{Fault::Kind::NotJson}), kConnectivity);
    // Still the token's step: each press asked for the session again.
    EXPECT_EQ(scrobbler.ControlText(IDC_SCROBBLE_BUTTON), L"Complete\nAuthorise");
    EXPECT_EQ(fake.Requests("auth.getSession").size(), 4u);
    EXPECT_FALSE(Setting(scrobbler, L"sk").has_value());
}

}  // namespace
}  // namespace kiln::test
