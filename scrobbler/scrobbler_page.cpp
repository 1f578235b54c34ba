#include "scrobbler/scrobbler_page.h"

#include "core/wide_format.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "resources/resource_ids.h"
#include "scrobbler/authorisation.h"
#include "scrobbler/status.h"

namespace kiln {
namespace {

constexpr unsigned kStylingRefreshNotice = 33142;
constexpr int kAccountChars = 256;

// The host's styling of the button, kept between openings of the page.
void* buttonStyling = nullptr;

void InitialisePage(Window page) {
    const HostServices* host = Host();
    scrobblerPageWindow.store(page);
    const bool authorised = HasSessionKey();
    host->replacePageDialog(scrobblerPageId, &ScrobblerPageProc,
                            authorised ? IDD_SCROBBLER_AUTHORISED : IDD_SCROBBLER_SETUP);
    if (!authorised) {
        platform::SetControlText(page, IDC_SCROBBLE_ACCOUNT,
                                 L"To scrobble what you're listening to in ORBIT you first need to "
                                 L"authorise it against your Last.fm account by following the "
                                 L"steps below.");
        platform::ShowControl(page, IDC_SCROBBLE_INTRO, true);
        platform::ShowControl(page, IDC_SCROBBLE_BUTTON, true);
        platform::SetControlText(
            page, IDC_SCROBBLE_BUTTON,
            HoldsAuthToken() ? L"Complete\nAuthorise" : L"Authorise Scrobbling");
    } else {
        wchar_t account[kAccountChars] = L"";
        ReadTextSetting(L"lfm", L"", account, kAccountChars);
        wchar_t line[kAccountChars];
        FormatWide(line, kAccountChars,
                   L"ORBIT is configured to scrobble what is listened to for '%s'", {account});
        platform::SetControlText(page, IDC_SCROBBLE_ACCOUNT, line);
        platform::SetControlText(page, IDC_SCROBBLE_BUTTON, L"Revoke\nscrobbler\naccess");
    }
    buttonStyling = host->styleButton(page, IDC_SCROBBLE_BUTTON, buttonStyling);
    ShowTrackingPaused(page);
    const int flags = scrobbleFlags.load();
    platform::CheckControl(page, IDC_SCROBBLE_ENABLE, (flags & 1) != 0);
    platform::CheckControl(page, IDC_SCROBBLE_NOW_PLAYING, (flags & kScrobbleNowPlaying) != 0);
    platform::CheckControl(page, IDC_SCROBBLE_LIBRARY_ONLY, (flags & kScrobbleLibraryOnly) != 0);
    UpdateScrobblerPageState(page);
    const std::wstring status = ScrobblerStatusCopy();
    if (!status.empty()) {
        platform::SetControlText(page, IDC_SCROBBLE_STATUS, status.c_str());
    }
}

void OnOptionClicked(Window page) {
    const int flags = (platform::IsControlChecked(page, IDC_SCROBBLE_ENABLE) ? 1 : 0) +
                      (platform::IsControlChecked(page, IDC_SCROBBLE_NOW_PLAYING) ? 2 : 0) +
                      (platform::IsControlChecked(page, IDC_SCROBBLE_LIBRARY_ONLY) ? 4 : 0);
    scrobbleFlags.store(flags);
    const HostServices* host = Host();
    if (flags == kDefaultScrobble) {
        host->writeTextSetting(kSettingsSection, L"scrobble", nullptr);
    } else {
        host->writeIntSetting(kSettingsSection, L"scrobble", flags);
    }
    UpdateScrobblerPageState(page);
}

}  // namespace

void UpdateScrobblerPageState(Window page) {
    const bool enabled = (scrobbleFlags.load() & kScrobbleOn) != 0;
    if (!enabled || !HasScrobblerStatus()) {
        const wchar_t* waiting = !enabled ? L"Scrobbling is currently disabled"
                                 : HasSessionKey()
                                     ? L"Waiting for first valid playback to start scrobbling"
                                     : L"Waiting for authorisation to be allowed (see above)";
        SetScrobblerStatus(waiting, true);
    }
    platform::EnableControl(page, IDC_SCROBBLE_NOW_PLAYING, enabled);
    platform::EnableControl(page, IDC_SCROBBLE_LIBRARY_ONLY, enabled);
    const HostServices* host = Host();
    if (host && !host->hasLocalLibrary()) {
        platform::ShowControl(page, IDC_SCROBBLE_LIBRARY_ONLY, false);
    }
}

intptr_t ScrobblerPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    const HostServices* host = Host();
    if (!host) {
        return 0;
    }
    if (message == platform::kMsgInitDialog) {
        InitialisePage(page);
    } else if (message == platform::kMsgCommand) {
        const int control = static_cast<int>(wParam & 0xFFFF);
        const unsigned notification = static_cast<unsigned>((wParam >> 16) & 0xFFFF);
        if (!TrackingPausedCommand(page, control, notification) &&
            notification == platform::kNotifyClicked) {
            switch (control) {
                case IDC_SCROBBLE_BUTTON:
                    OnScrobblerButton(page, reinterpret_cast<Window>(lParam));
                    break;
                case IDC_SCROBBLE_ENABLE:
                case IDC_SCROBBLE_NOW_PLAYING:
                case IDC_SCROBBLE_LIBRARY_ONLY:
                    OnOptionClicked(page);
                    break;
                default:
                    break;
            }
        }
    } else if (message == platform::kMsgDestroy) {
        ForgetTrackingPaused(page);
    } else if (message == kStylingRefreshNotice) {
        buttonStyling = host->styleButton(page, IDC_SCROBBLE_BUTTON, buttonStyling);
    }
    host->defaultPageHandling(page, message, wParam, lParam, -1);
    return 0;
}

}  // namespace kiln
