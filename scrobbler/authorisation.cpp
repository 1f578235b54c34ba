#include "scrobbler/authorisation.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <mutex>

#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "resources/resource_ids.h"
#include "scrobbler/scrobbler_page.h"
#include "scrobbler/service_reply.h"
#include "scrobbler/service_request.h"
#include "scrobbler/status.h"
#include "scrobbler/text_service.h"

namespace kiln {
namespace {

constexpr int kUtf8 = contract::kCodePageUtf8;
constexpr int kUrlBytes = 512;
constexpr int kSignatureBytes = 256;
constexpr int kDigestBytes = 33;
constexpr int kShortTextChars = 256;
constexpr int kSessionKeyChars = 64;

constexpr const wchar_t* kCaptionAuthorise = L"Authorise Scrobbling";
constexpr const wchar_t* kCaptionComplete = L"Complete\nAuthorise";
constexpr const wchar_t* kCaptionReady = L"Ready to\nscrobble";
constexpr const wchar_t* kConnectivityText =
    L"There seems to be an issue with ORBIT communicating with the Last.fm site. Please check you "
    L"have a working internet connection & the Last.fm site is accessible.";

// The worker reads the key while the page may set or revoke it; the lock
// covers the pointer and the copy behind it.
Mutex keyLock;
char* sessionKey GUARDED_BY(keyLock) = nullptr;  // text-service copy
// Main thread only.
char* authToken = nullptr;  // text-service copy

// The key, read from the settings on first need. The pointer is good only
// while the lock is held: a revoke frees it.
const char* LoadedSessionKey() REQUIRES(keyLock) {
    if (sessionKey) {
        return sessionKey;
    }
    const HostServices* host = Host();
    if (!host) {
        return nullptr;
    }
    wchar_t stored[kSessionKeyChars] = L"";
    ReadTextSetting(L"sk", L"", stored, kSessionKeyChars);
    if (stored[0] == L'\0') {
        return nullptr;
    }
    char* utf8 = host->wideToNarrow(stored, -1, kUtf8);
    if (!utf8) {
        return nullptr;
    }
    sessionKey = TextCopyUtf8(utf8);
    host->freeMemory(utf8);
    return sessionKey;
}

void SetStatusControl(Window page, const wchar_t* text) {
    platform::SetControlText(page, IDC_SCROBBLE_STATUS, text);
}

void SetCaption(Window page, const wchar_t* caption) {
    platform::SetControlText(page, IDC_SCROBBLE_BUTTON, caption);
}

// The raw reply, as the service sent it, when it has none of the expected members.
void ShowRawReply(Window page, const std::string& reply) {
    std::wstring wide;
    if (const HostServices* host = Host()) {
        if (wchar_t* converted = host->narrowToWide(reply.c_str(), -1, kUtf8)) {
            wide = converted;
            host->freeMemory(converted);
        }
    }
    SetStatusControl(page, wide.c_str());
}

void ShowErrorCode(Window page, const rapidjson::Value& document) {
    const rapidjson::Value& message = FindMember(document, "message");
    wchar_t text[kShortTextChars];
    FormatWide(text, kShortTextChars, L"Last Response > Error code: %d, Reason: '%hs'",
               {FindMember(document, "error").GetInt(),
                message.IsString() ? message.GetString() : "unknown reason missing message"});
    SetStatusControl(page, text);
}

void ClearAuthToken() {
    TextRelease(authToken);
    authToken = nullptr;
}

void SwitchPageDialog(int dialogId) {
    if (const HostServices* host = Host()) {
        host->replacePageDialog(scrobblerPageId, &ScrobblerPageProc, dialogId);
        host->refreshPage(scrobblerPageId, -1);
    }
}

void RequestAuthToken(Window page) {
    char url[kUrlBytes];
    std::snprintf(url, sizeof url, "%s2.0/?method=auth.gettoken&api_key=%s&format=json",
                  ScrobbleApiHost, ScrobbleApiKey);
    ServiceTransfer transfer;
    if (!PerformServiceRequest(1, url, nullptr, false, transfer)) {
        return;
    }
    if (transfer.reply.empty()) {
        SetStatusControl(page, kConnectivityText);
        return;
    }
    rapidjson::Document document;
    const bool parsed =
        transfer.reply.size() <= kReplyLimit && ParseReply(document, transfer.reply);
    if (parsed) {
        const rapidjson::Value& token = FindMember(document, "token");
        if (token.IsString()) {
            authToken = TextCopyUtf8(token.GetString());
        }
    }
    if (authToken) {
        OpenAuthPage(page);
        SetCaption(page, kCaptionComplete);
        SetStatusControl(page,
                         L"Authorisation needs to be completed via the Last.fm web page which was "
                         L"just opened in the default browser.");
    } else if (parsed && FindMember(document, "error").IsInt()) {
        ShowErrorCode(page, document);
    } else {
        ShowRawReply(page, transfer.reply);
    }
}

void StoreSession(Window page, const rapidjson::Value& session) {
    const HostServices* host = Host();
    const char* key = FindMember(session, "key").GetString();
    {
        MutexLock guard(keyLock);
        TextRelease(sessionKey);
        sessionKey = TextCopyUtf8(key);
    }
    wchar_t* wideKey = host->narrowToWide(key, -1, kUtf8);
    host->writeTextSetting(kSettingsSection, L"sk", wideKey ? wideKey : L"");
    SetCaption(page, kCaptionReady);
    const rapidjson::Value& name = FindMember(session, "name");
    wchar_t* wideName = host->narrowToWide(name.IsString() ? name.GetString() : "", -1, kUtf8);
    host->writeTextSetting(kSettingsSection, L"lfm", wideName ? wideName : L"");
    wchar_t text[kShortTextChars];
    FormatWide(text, kShortTextChars, L"Scrobbling from ORBIT was authorised for '%s'",
               {wideName ? wideName : L""});
    // Kept, not only shown: the page is rebuilt in its authorised layout at
    // once, and the rebuilt page shows the kept text.
    SetScrobblerStatus(text, false);
    host->freeMemory(wideKey);
    host->freeMemory(wideName);
    SwitchPageDialog(IDD_SCROBBLER_AUTHORISED);
}

void RequestSession(Window page) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    char signature[kSignatureBytes];
    std::snprintf(signature, sizeof signature, "api_key%smethodauth.getSessiontoken%s%s",
                  ScrobbleApiKey, authToken, ScrobbleSharedSecret);
    char digest[kDigestBytes] = {};
    host->md5Text(signature, digest, kDigestBytes);
    char url[kUrlBytes];
    std::snprintf(url, sizeof url,
                  "%s2.0/?method=auth.getSession&token=%s&api_key=%s&api_sig=%s&format=json",
                  ScrobbleApiHost, authToken, ScrobbleApiKey, digest);
    ServiceTransfer transfer;
    if (!PerformServiceRequest(0, url, nullptr, false, transfer)) {
        return;
    }
    rapidjson::Document document;
    if (transfer.reply.empty() || transfer.reply.size() > kReplyLimit ||
        !ParseReply(document, transfer.reply)) {
        SetStatusControl(page, kConnectivityText);
        return;
    }
    const rapidjson::Value& error = FindMember(document, "error");
    if (error.IsInt()) {
        switch (error.GetInt()) {
            case 4:
            case 14:
                SetStatusControl(page,
                                 L"Please complete the authorisation process on the Last.fm "
                                 L"site.\nA webpage should have been opened in the default browser "
                                 L"to do this.");
                OpenAuthPage(page);
                break;
            case 10:
            case 26:
                SetStatusControl(page,
                                 L"There seems to be an issue with ORBIT's api key.\nPlease check "
                                 L"for an updated ORBIT release.");
                break;
            case 15:
                ClearAuthToken();
                SetStatusControl(page,
                                 L"It's taken too long to authorise ORBIT with Last.fm. The cached "
                                 L"access token is no longer valid. Please restart the "
                                 L"authorisation process.");
                SetCaption(page, kCaptionAuthorise);
                break;
            default:
                ShowErrorCode(page, document);
                break;
        }
        return;
    }
    const rapidjson::Value& session = FindMember(document, "session");
    const bool usable =
        session.IsObject() && session.MemberCount() > 0 && FindMember(session, "key").IsString();
    // Any reply without an error ends the token's use, accepted or not.
    ClearAuthToken();
    if (usable) {
        StoreSession(page, session);
    } else {
        ShowRawReply(page, transfer.reply);
    }
}

void RevokeScrobbling(Window page) {
    const int answer = platform::ShowMessageBox(
        page,
        L"Do you want to continue revoking scrobbling support?\n\nThis won't remove the "
        L"authorisation on the Last.fm site\n& is something you need to do via your profile "
        L"settings\npage. It will remove the authorisation key stored within\nORBIT's "
        L"configuration files which cannot be restored.",
        L"Are you sure?",
        platform::kBoxYesNo | platform::kBoxIconQuestion | platform::kBoxDefaultSecond);
    if (answer != platform::kAnswerYes) {
        return;
    }
    if (const HostServices* host = Host()) {
        host->writeTextSetting(kSettingsSection, L"sk", nullptr);
        host->writeTextSetting(kSettingsSection, L"lfm", nullptr);
    }
    {
        MutexLock guard(keyLock);
        TextRelease(sessionKey);
        sessionKey = nullptr;
    }
    SwitchPageDialog(IDD_SCROBBLER_SETUP);
}

}  // namespace

bool HasSessionKey() {
    MutexLock guard(keyLock);
    return LoadedSessionKey() != nullptr;
}

std::string SessionKeyCopy() {
    MutexLock guard(keyLock);
    const char* key = LoadedSessionKey();
    return key ? std::string(key) : std::string();
}

bool HoldsAuthToken() {
    return authToken != nullptr;
}

void OpenAuthPage(Window owner) {
    const HostServices* host = Host();
    if (!host || !authToken) {
        return;
    }
    wchar_t address[kShortTextChars];
    FormatWide(address, kShortTextChars, L"https://%hs/api/auth/?api_key=%hs&token=%hs",
               {ScrobbleAuthHost, ScrobbleApiKey, authToken});
    host->openUrl(owner, address, 0);
}

void OnScrobblerButton(Window page, Window) {
    SetStatusControl(page, L"");
    if (HasSessionKey()) {
        RevokeScrobbling(page);
    } else if (!authToken) {
        RequestAuthToken(page);
    } else {
        RequestSession(page);
    }
}

}  // namespace kiln
