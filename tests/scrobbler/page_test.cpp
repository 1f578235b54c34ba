// The scrobbler page and the account authorisation, as the user meets them.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/win32.h"

#include "host/window_system.h"
#include "resources/resource_ids.h"
#include "scrobbler/deployment.h"
#include "scrobbler_support.h"
#include "services/text_services.h"

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

// -- the scrobble queue page

// RFC 4180: fields split at commas, records at CR LF, quoted fields with
// doubled quotes and any of these inside.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(std::move(field));
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(std::move(field));
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "an unterminated quoted field";
    EXPECT_TRUE(rows.back().empty() && field.empty()) << "the last record ends in CR LF";
    rows.pop_back();
    return rows;
}

std::vector<std::wstring> Items(ScrobblerHost& scrobbler, int id) {
    return Control(scrobbler, id).items;
}

void Choose(ScrobblerHost& scrobbler, int list, std::vector<int> items, int button) {
    ASSERT_TRUE(scrobbler.plugin().windows().SelectListItems(scrobbler.Page(), list, items));
    scrobbler.plugin().windows().QueueMessageBoxAnswer(win::kIdYes);
    Click(scrobbler, button);
}

std::string Titles(const FakeScrobbleService& fake) {
    std::string out;
    for (const auto& track : fake.Scrobbles()) {
        out += track.track + "@" + std::to_string(track.timestamp - kStartTime) + " ";
    }
    return out;
}

// The worker holds the cache's lines in a request the service answers late;
// the page removes two of them and moves a set-aside line back meanwhile.
TEST(QueuePage, EditsWhileASubmissionIsOutLoseAndDoubleNothing) {
    FakeScrobbleService fake;
    ScrobblerHost scrobbler(fake, 1);
    std::string cache;
    const char* names[] = {"a.wav", "b.wav", "c, \"quoted\".wav", "d.wav"};
    const wchar_t* titles[] = {L"A", L"B", L"C, \"Q\"", L"D"};
    std::vector<std::string> lines;
    for (int i = 0; i < 4; ++i) {
        lines.push_back(
            CacheLine(kStartTime - 40 + 10 * i, scrobbler.Track(names[i], titles[i], L"Queue")));
        cache += lines.back();
    }
    scrobbler.WriteCache(cache);
    // A line set aside before reasons were kept, and one with its reason.
    const std::string back = CacheLine(kStartTime - 90, scrobbler.Track("back.wav", L"Back", L"Q"));
    std::string aside = CacheLine(kStartTime - 80, scrobbler.Media() / "gone.wav");
    aside.insert(aside.size() - 2, "\tno metadata, or 30 seconds or shorter");
    std::ofstream(scrobbler.RejectedFile(), std::ios::binary) << back << aside;
    scrobbler.Start();
    for (const auto& page : scrobbler.plugin().windows().Pages()) {
        if (page.name == L"Scrobble Queue") {
            ASSERT_TRUE(scrobbler.plugin().windows().OpenPage(page.id));
        }
    }
    ASSERT_EQ(scrobbler.plugin().windows().DialogTemplateId(scrobbler.Page()), IDD_SCROBBLE_QUEUE);
    const auto rejected = Items(scrobbler, IDC_QUEUE_REJECTED);
    ASSERT_EQ(rejected.size(), 2u);
    EXPECT_TRUE(rejected[0].ends_with(L"   Q \u2013 Back: unknown"))
        << host::WideToUtf8(rejected[0]);
    EXPECT_TRUE(rejected[1].ends_with(L"gone.wav: no metadata, or 30 seconds or shorter"));

    fake.FailNext({.code = 11, .delayMs = 2500, .onlyMethod = "track.scrobble"});
    const auto now = scrobbler.Track("now.wav", L"Now", L"Queue");
    scrobbler.PlayAndAdvance(now, 30);
    cache += CacheLine(kStartTime, now);
    ASSERT_TRUE(scrobbler.plugin().RunUntil([&] { return scrobbler.CacheBytes() == cache; }));
    scrobbler.plugin().RunFor(200);  // the request is out
    Click(scrobbler, IDC_QUEUE_REFRESH);
    ASSERT_EQ(Items(scrobbler, IDC_QUEUE_WAITING).size(), 5u);
    EXPECT_EQ(scrobbler.ControlText(IDC_QUEUE_SUMMARY).substr(0, 30),
              L"5 play(s) waiting, the oldest ");
    Choose(scrobbler, IDC_QUEUE_WAITING, {1, 3}, IDC_QUEUE_REMOVE);
    Choose(scrobbler, IDC_QUEUE_REJECTED, {0}, IDC_QUEUE_MOVE_BACK);
    EXPECT_EQ(fake.Requests("track.scrobble").size(), 0u) << "the page waited for the service";
    const std::string kept = lines[0] + lines[2] + CacheLine(kStartTime, now) + back;
    EXPECT_EQ(scrobbler.CacheBytes(), kept);
    EXPECT_EQ(ReadFileBytes(scrobbler.RejectedFile()), aside);

    // The refusal comes: the removed lines stay removed, the moved one stays.
    ASSERT_TRUE(
        scrobbler.plugin().RunUntil([&] { return fake.Requests("track.scrobble").size() == 1; }));
    ASSERT_TRUE(scrobbler.plugin().RunUntil(
        [&] { return scrobbler.ControlText(IDC_QUEUE_LAST_ATTEMPT).ends_with(L", error 11."); }));
    EXPECT_EQ(scrobbler.CacheBytes(), kept);
    EXPECT_EQ(Items(scrobbler, IDC_QUEUE_WAITING).size(), 4u);

    // Exported: both lists, each field as it is, through a CSV reader.
    const auto exported = scrobbler.plugin().profile() / "queue.csv";
    scrobbler.plugin().windows().SetSaveResponder(
        [&](const host::FolderRequest&) { return std::optional(exported.wstring()); });
    Click(scrobbler, IDC_QUEUE_EXPORT);
    const auto rows = ParseCsv(ReadFileBytes(exported));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"list", "start_time", "date", "artist", "title",
                                                 "file", "reason"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"waiting", std::to_string(kStartTime - 20),
                                                 "2023-11-14T22:13:00Z", "Queue", "C, \"Q\"",
                                                 (scrobbler.Media() / names[2]).string(), ""}));
    EXPECT_EQ(rows[4][4], "Back");
    EXPECT_EQ(rows[5][0] + rows[5][5] + rows[5][6], "rejected" +
                                                        (scrobbler.Media() / "gone.wav").string() +
                                                        "no metadata, or 30 seconds or shorter");

    // Submit now: what waits goes, once each.
    Click(scrobbler, IDC_QUEUE_SUBMIT);
    ASSERT_TRUE(scrobbler.WaitForScrobbles(4));
    EXPECT_TRUE(scrobbler.WaitForCacheGone());
    EXPECT_EQ(Titles(fake), "A@-40 C, \"Q\"@-20 Now@0 Back@-90 ");
    EXPECT_TRUE(scrobbler.plugin().RunUntil([&] {
        return scrobbler.ControlText(IDC_QUEUE_SUMMARY) == L"No plays are waiting to be scrobbled.";
    }));
    EXPECT_TRUE(scrobbler.ControlText(IDC_QUEUE_LAST_ATTEMPT).ends_with(L", accepted."));
}

}  // namespace
}  // namespace kiln::test
