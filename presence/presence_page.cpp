#include "presence/presence_page.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "core/wide_format.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/preview.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "presence/presence.h"
#include "resources/resource_ids.h"

namespace kiln {
namespace {

constexpr int kCustomIdChars = 24;
constexpr int kPreviewChars = 256;
constexpr wchar_t kForumPath[] = L"community/index.php/topic,471.0.html";

// Clear while the page is being filled and after it is gone, so that filling
// the id box is not taken for the user's typing.
std::atomic<bool> pageReady{false};

void WriteInt(const wchar_t* key, int value) {
    Host()->writeIntSetting(kSettingsSection, key, value);
}
void WriteText(const wchar_t* key, const wchar_t* value) {
    Host()->writeTextSetting(kSettingsSection, key, value);
}

void AddComboItem(Window page, int control, const wchar_t* text) {
    platform::SendControlMessage(page, control, platform::kComboAddString, 0,
                                 reinterpret_cast<intptr_t>(text));
}

int ComboSelection(Window page, int control) {
    return static_cast<int>(
        platform::SendControlMessage(page, control, platform::kComboGetCurSel, 0, 0));
}

void LimitText(Window page, int control, int characters) {
    platform::SendControlMessage(page, control, platform::kEditLimitText,
                                 static_cast<uintptr_t>(characters), 0);
}

// The introduction and its two links. The forum address is as long as the
// host's web base makes it.
void ShowIntroduction(const HostServices* host, Window page) {
    if (wchar_t* text = host->loadResourceText(Descriptor().hDllInstance, IDR_PRESENCE_INTRO)) {
        platform::SetControlText(page, IDC_PRESENCE_INTRO, text);
        host->freeResourceText(text);
    }
    const wchar_t* base = host->webBaseAddressWide ? host->webBaseAddressWide() : nullptr;
    const std::wstring forum = std::wstring(base ? base : L"") + kForumPath;
    host->setLinkText(page, IDC_PRESENCE_INTRO, forum.c_str());
}

void InitialisePage(const HostServices* host, Window page) {
    pageReady.store(false);
    SetPreviewPage(page);
    ShowTrackingPaused(page);
    ShowIntroduction(host, page);
    platform::CheckControl(page, IDC_PRESENCE_ENABLE, updateDiscord.load() != 0);
    platform::CheckControl(page, IDC_PRESENCE_AUTO_DISABLE, autoDisableDiscord.load() != 0);
    platform::CheckControl(page, IDC_PRESENCE_UPLOAD_ART, uploadForDiscord.load() != 0);
    LimitText(page, IDC_PRESENCE_PREVIEW, kPreviewChars);

    AddComboItem(page, IDC_PRESENCE_IDENTITY, LocalString(IDS_IDENTITY_DEFAULT));
    AddComboItem(page, IDC_PRESENCE_IDENTITY, L"Winamp");
    AddComboItem(page, IDC_PRESENCE_IDENTITY, L"Sonique");
    AddComboItem(page, IDC_PRESENCE_IDENTITY, LocalString(IDS_IDENTITY_CUSTOM));
    platform::SendControlMessage(page, IDC_PRESENCE_IDENTITY, platform::kComboSetCurSel,
                                 static_cast<uintptr_t>(discordSel.load()), 0);
    LimitText(page, IDC_PRESENCE_APP_ID, kCustomIdChars);
    wchar_t customId[kCustomIdChars] = L"";
    if (ReadTextSetting(L"discord_app_id", L"", customId, kCustomIdChars) >= 0 &&
        customId[0] != L'\0') {
        platform::SetControlText(page, IDC_PRESENCE_APP_ID, customId);
    }
    platform::EnableControl(page, IDC_PRESENCE_APP_ID, discordSel.load() == 3);

    for (int id : {IDS_PREFIX_LISTENING, IDS_PREFIX_BY_KIND, IDS_PREFIX_LEGACY}) {
        AddComboItem(page, IDC_PRESENCE_PREFIX, LocalString(id));
    }
    platform::SendControlMessage(page, IDC_PRESENCE_PREFIX, platform::kComboSetCurSel,
                                 static_cast<uintptr_t>(discordPrefix.load()), 0);

    if (presenceTemplate[0] != L'\0') {
        LimitText(page, IDC_PRESENCE_TEMPLATE, kLineChars);
        platform::SetControlText(page, IDC_PRESENCE_TEMPLATE, presenceTemplate);
        StartPreview(kPreviewPresence);
    }
    pageReady.store(true);
}

// Takes the shown presence away; the worker's refresh then starts the client
// again with the current settings, or sends nothing when updating is off.
void Restart() {
    RestartPresence();
}

void ResetTemplate(const HostServices* host, Window page) {
    if (platform::ShowMessageBox(page, LocalString(IDS_RESET_CONFIRM), Descriptor().description,
                                 platform::kBoxYesNo) != platform::kAnswerYes) {
        return;
    }
    StoreSettingText(presenceTemplate, kLineChars, kDefaultPresenceTemplate);
    host->writeTextSetting(kSettingsSection, L"discord", nullptr);
    platform::SetControlText(page, IDC_PRESENCE_TEMPLATE, presenceTemplate);
    platform::PostToWindow(
        page, platform::kMsgCommand,
        platform::CommandParam(IDC_PRESENCE_TEMPLATE, platform::kNotifyEditChange), 0);
}

void OnCommand(const HostServices* host, Window page, int control, unsigned notification) {
    if (TrackingPausedCommand(page, control, notification)) {
        return;
    }
    switch (control) {
        case IDC_PRESENCE_TEMPLATE:
            if (notification == platform::kNotifyEditChange) {
                PreviewTemplate(page, IDC_PRESENCE_TEMPLATE, kPreviewModePresence);
            }
            break;
        case IDC_PRESENCE_RESET:
            if (notification == platform::kNotifyClicked) {
                ResetTemplate(host, page);
            }
            break;
        case IDC_PRESENCE_ENABLE:
            if (notification == platform::kNotifyClicked) {
                updateDiscord.store(updateDiscord.load() != 0 ? 0 : 1);
                WriteInt(L"updatediscord", updateDiscord.load());
                Restart();
            }
            break;
        case IDC_PRESENCE_AUTO_DISABLE:
            if (notification == platform::kNotifyClicked) {
                autoDisableDiscord.store(autoDisableDiscord.load() != 0 ? 0 : 1);
                WriteText(L"autodisablediscord", autoDisableDiscord.load() != 0 ? L"1" : nullptr);
            }
            break;
        case IDC_PRESENCE_UPLOAD_ART:
            if (notification == platform::kNotifyClicked) {
                uploadForDiscord.store(uploadForDiscord.load() != 0 ? 0 : 1);
                WriteText(L"uploadForDiscord", uploadForDiscord.load() != 0 ? nullptr : L"0");
            }
            break;
        case IDC_PRESENCE_IDENTITY:
            if (notification == platform::kNotifySelChange) {
                const int choice = ComboSelection(page, IDC_PRESENCE_IDENTITY);
                discordSel.store(choice);
                if (choice == 0) {
                    WriteText(L"discordsel", nullptr);
                } else {
                    WriteInt(L"discordsel", choice);
                }
                platform::EnableControl(page, IDC_PRESENCE_APP_ID, choice == 3);
                Restart();
            }
            break;
        case IDC_PRESENCE_APP_ID:
            if (notification == platform::kNotifyEditChange && pageReady.load()) {
                wchar_t customId[kCustomIdChars] = L"";
                platform::GetControlText(page, IDC_PRESENCE_APP_ID, customId, kCustomIdChars);
                WriteText(L"discord_app_id", customId);
                Restart();
            }
            break;
        case IDC_PRESENCE_PREFIX:
            if (notification == platform::kNotifySelChange) {
                const int mode = ComboSelection(page, IDC_PRESENCE_PREFIX);
                discordPrefix.store(mode);
                WriteText(L"discordprefix", mode == 2 ? L"2" : mode == 1 ? L"1" : nullptr);
                if (updateDiscord.load() != 0 && autoDisableDiscord.load() == 0) {
                    Restart();
                }
            }
            break;
        default:
            break;
    }
}

// The template takes effect when the page closes, and is stored only when
// it changed.
void StoreTemplate(const HostServices* host, Window page) {
    pageReady.store(false);
    std::vector<wchar_t> text(kLineChars, L'\0');
    platform::GetControlText(page, IDC_PRESENCE_TEMPLATE, text.data(), kLineChars);
    if (std::wcscmp(text.data(), presenceTemplate) == 0) {
        return;
    }
    StoreSettingText(presenceTemplate, kLineChars, text.data());
    wchar_t* escaped = host->escapeText(presenceTemplate);
    host->writeTemplateSetting(kSettingsSection, L"discord", escaped ? escaped : presenceTemplate);
    if (escaped) {
        host->freeMemory(escaped);
    }
}

}  // namespace

intptr_t PresencePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    const HostServices* host = Host();
    if (!host) {
        return 0;
    }
    if (message == platform::kMsgInitDialog) {
        InitialisePage(host, page);
    } else if (message == platform::kMsgCommand) {
        OnCommand(host, page, static_cast<int>(wParam & 0xFFFF),
                  static_cast<unsigned>((wParam >> 16) & 0xFFFF));
    } else if (message == platform::kMsgDestroy) {
        ForgetTrackingPaused(page);
        StoreTemplate(host, page);
    }
    host->defaultPageHandling(page, message, wParam, lParam, -1);
    return 0;
}

}  // namespace kiln
