#include "outputs/pages.h"

#include <climits>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "core/wide_format.h"
#include "outputs/history.h"
#include "platform/file.h"
#include "platform/folder_dialog.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/preview.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "resources/resource_ids.h"

namespace kiln {
namespace {

using platform::CommandParam;

constexpr int kFormatPlain = 2;
constexpr int kArtSizeChars = 5;
constexpr int kSslBit = 16;
constexpr const wchar_t* kFolderTitle = L"Select a folder to save the log file into...";
constexpr const wchar_t* kSslTitle = L"Are you sure you want to?";
constexpr const wchar_t* kSslWarning =
    L"Enabling this will disable some of SSL validation checks which\nare done to help minimise "
    L"the chances of a man in the middle\nattack but may be needed if using a self-signed SSL "
    L"certificate.";
constexpr const wchar_t* kHelpPath = L"help/atf/";

// The artwork size choices and the values they store.
constexpr int kArtModes[3] = {0, 1, 3};

// Everything here runs on the host's main thread; only the preview thread
// (plugin/preview) reads the tabs' fields besides.
bool artPageReady = false;

// One text that a tab stores on closing when it changed since the tab opened.
struct TrackedText {
    const wchar_t* key;
    wchar_t* setting;
    int size;
    std::wstring snapshot;
};

// The history and now-playing tabs share a layout.
struct OutputTab {
    const wchar_t* folderKey;
    wchar_t* folder;
    TrackedText file;
    TrackedText line;
    const wchar_t* defaultFile;
    const wchar_t* defaultLine;
    int previewCode;
    int linkId;
};

OutputTab historyTab{L"log_folder",
                     historyFolder,
                     {L"file", historyFileTemplate, kPathChars, {}},
                     {L"format", historyFormat, kLineChars, {}},
                     kDefaultHistoryFile,
                     kDefaultHistoryFormat,
                     kPreviewHistoryLine,
                     IDC_HISTORY_LINK};
OutputTab nowTab{L"now_log_folder",
                 nowFolder,
                 {L"now_file", nowFileTemplate, kPathChars, {}},
                 {L"now_format", nowFormat, kLineChars, {}},
                 kDefaultNowFile,
                 kDefaultNowFormat,
                 kPreviewNowLine,
                 IDC_NOW_LINK};
TrackedText artFile{L"art_now_file", artFileTemplate, kPathChars, {}};

struct PostEvent {
    int enableId;
    int templateId;
    int modeBit;
    TrackedText text;
};
PostEvent postEvents[4] = {
    {IDC_POST_PLAY_ENABLE, IDC_POST_PLAY_TEMPLATE, 1, {L"postplay", postPlay, kPostChars, {}}},
    {IDC_POST_PAUSE_ENABLE, IDC_POST_PAUSE_TEMPLATE, 2, {L"postpause", postPause, kPostChars, {}}},
    {IDC_POST_UNPAUSE_ENABLE,
     IDC_POST_UNPAUSE_TEMPLATE,
     4,
     {L"postunpause", postUnpause, kPostChars, {}}},
    {IDC_POST_STOP_ENABLE, IDC_POST_STOP_TEMPLATE, 8, {L"poststop", postStop, kPostChars, {}}},
};

std::wstring FieldText(Window page, int id, int size) {
    std::vector<wchar_t> text(static_cast<size_t>(size));
    platform::GetControlText(page, id, text.data(), size);
    return text.data();
}

void WriteInt(const wchar_t* key, int value) {
    Host()->writeIntSetting(kSettingsSection, key, value);
}

void SetLink(Window page, int id) {
    const wchar_t* base = Host()->webBaseAddressWide();
    const std::wstring address = std::wstring(base ? base : L"") + kHelpPath;
    Host()->setLinkText(page, id, address.c_str());
}

// The field's limit leaves room for the terminator of its setting, so a full
// field is stored whole.
void LimitField(Window page, int id, int settingSize) {
    platform::SendControlMessage(page, id, platform::kEditLimitText,
                                 static_cast<uintptr_t>(settingSize - 1), 0);
}

void FillCombo(Window page, int id, std::initializer_list<const wchar_t*> items, int selection) {
    for (const wchar_t* item : items) {
        platform::SendControlMessage(page, id, platform::kComboAddString, 0,
                                     reinterpret_cast<intptr_t>(item));
    }
    platform::SendControlMessage(page, id, platform::kComboSetCurSel,
                                 static_cast<uintptr_t>(selection), 0);
}

int ComboSelection(Window page, int id) {
    return static_cast<int>(
        platform::SendControlMessage(page, id, platform::kComboGetCurSel, 0, 0));
}

// An output switched on while something plays logs the item at once; the
// history gets its start marker when its own rules allow.
void OutputSwitchedOn(unsigned output) {
    WriteHistoryMarker(false);
    if (Host()->playbackStatus() != 0) {
        SignalOutputsCatchUp(output);
    }
}

// Why the output's file cannot be written at `path`, or null when it can
// (its folder is made, when missing, before each write).
const wchar_t* WriteProblem(const std::wstring& path) {
    if (path.size() >= static_cast<size_t>(kPathChars)) {
        return L"this path is too long";
    }
    size_t cut = path.find_last_of(platform::kFolderSeparators);
    if (cut == std::wstring::npos) {
        cut = 0;
    } else if (cut == 0 || path[cut - 1] == L':') {
        ++cut;  // a root keeps its separator
    }
    switch (platform::CheckFolderAccess(path.substr(0, cut).c_str())) {
        case platform::FolderAccess::kWritable:
        case platform::FolderAccess::kCreatable:
            return nullptr;
        case platform::FolderAccess::kReadOnly:
            return L"this folder cannot be written";
        case platform::FolderAccess::kUncreatable:
            return L"this folder cannot be created";
        case platform::FolderAccess::kFileInWay:
            return L"a file stands where this folder should be";
        case platform::FolderAccess::kTooLong:
            return L"this path is too long";
    }
    return nullptr;
}

// The file name formatted for the item now playing, joined to the folder,
// with the reason when the file could not be written there.
void ShowPathPreview(Window page, int templateId, const wchar_t* folder, int previewId) {
    const HostServices* host = Host();
    const std::wstring name = FieldText(page, templateId, kPathChars);
    std::vector<wchar_t> formatted(kLineChars);
    wchar_t location[kPathChars] = L"";
    host->formatTitle(location, kPathChars, name.c_str(), formatted.data(), kLineChars,
                      kFormatPlain, nullptr);
    host->normalisePath(formatted.data(), kLineChars);
    // Joined with room to spare: the writers' own buffers would cut a longer path.
    std::vector<wchar_t> joined(kPathChars * 2);
    host->joinPath(joined.data(), kPathChars * 2, folder, formatted.data());
    std::wstring shown = joined.data();
    if (const wchar_t* problem = WriteProblem(shown)) {
        shown += std::wstring(L" \u2014 ") + problem;
    }
    platform::SetControlText(page, previewId, shown.c_str());
}

void EnableReset(Window page, int resetId, const std::wstring& text, const wchar_t* defaultText) {
    platform::EnableControl(page, resetId, text != defaultText);
}

// Puts the default back after the user confirms; the key leaves the store,
// and closing the tab does not write it back.
void ResetField(Window page, int fieldId, TrackedText& text, const wchar_t* defaultText) {
    const int answer = platform::ShowMessageBox(page, LocalString(IDS_RESET_CONFIRM),
                                                Descriptor().description, platform::kBoxYesNo);
    if (answer != platform::kAnswerYes) {
        return;
    }
    StoreSettingText(text.setting, text.size, defaultText);
    Host()->writeTextSetting(kSettingsSection, text.key, nullptr);
    text.snapshot = defaultText;
    platform::SetControlText(page, fieldId, defaultText);
}

void BrowseFolder(Window page, const wchar_t* key, wchar_t* folder, int folderId) {
    wchar_t chosen[kPathChars];
    CopyWide(chosen, kPathChars, folder);
    if (!platform::ChooseFolder(page, kFolderTitle, chosen, kPathChars)) {
        return;
    }
    StoreSettingText(folder, kPathChars, chosen);
    Host()->writeTextSetting(kSettingsSection, key, folder);
    platform::SetControlText(page, folderId, folder);
}

// Copies a changed text into its setting and writes it; short texts with the
// short-text write, templates with the template write.
void StoreIfChanged(Window page, int fieldId, const TrackedText& text, bool shortText) {
    const std::wstring now = FieldText(page, fieldId, text.size);
    if (now == text.snapshot) {
        return;
    }
    StoreSettingText(text.setting, text.size, now.c_str());
    if (shortText) {
        Host()->writeTextSetting(kSettingsSection, text.key, text.setting);
    } else {
        Host()->writeTemplateSetting(kSettingsSection, text.key, text.setting);
    }
}

// -- history and now-playing tabs

void OpenOutputTab(Window page, OutputTab& tab) {
    SetPreviewPage(page);
    SetLink(page, tab.linkId);
    tab.file.snapshot = tab.file.setting;
    tab.line.snapshot = tab.line.setting;
    LimitField(page, IDC_LINE_TEMPLATE, kLineChars);
    platform::SetControlText(page, IDC_FOLDER, tab.folder);
    platform::SetControlText(page, IDC_FILE_TEMPLATE, tab.file.setting);
    platform::SetControlText(page, IDC_LINE_TEMPLATE, tab.line.setting);
    EnableReset(page, IDC_FILE_RESET, tab.file.setting, tab.defaultFile);
    EnableReset(page, IDC_LINE_RESET, tab.line.setting, tab.defaultLine);
    ShowPathPreview(page, IDC_FILE_TEMPLATE, tab.folder, IDC_PATH_PREVIEW);
    StartPreview(tab.previewCode);
}

// The controls both tabs have; true when the command was one of them.
bool OutputTabCommand(Window page, OutputTab& tab, int id, unsigned notification) {
    if (notification == platform::kNotifyClicked) {
        if (id == IDC_FOLDER_BROWSE) {
            BrowseFolder(page, tab.folderKey, tab.folder, IDC_FOLDER);
            ShowPathPreview(page, IDC_FILE_TEMPLATE, tab.folder, IDC_PATH_PREVIEW);
        } else if (id == IDC_FILE_RESET) {
            ResetField(page, IDC_FILE_TEMPLATE, tab.file, tab.defaultFile);
        } else if (id == IDC_LINE_RESET) {
            ResetField(page, IDC_LINE_TEMPLATE, tab.line, tab.defaultLine);
        } else {
            return false;
        }
        return true;
    }
    if (notification == platform::kNotifyEditChange) {
        if (id == IDC_FILE_TEMPLATE) {
            EnableReset(page, IDC_FILE_RESET, FieldText(page, id, kPathChars), tab.defaultFile);
            ShowPathPreview(page, IDC_FILE_TEMPLATE, tab.folder, IDC_PATH_PREVIEW);
        } else if (id == IDC_LINE_TEMPLATE) {
            StartPreview(tab.previewCode);
        } else {
            return false;
        }
        return true;
    }
    return false;
}

void CloseOutputTab(Window page, OutputTab& tab) {
    StoreIfChanged(page, IDC_FILE_TEMPLATE, tab.file, true);
    StoreIfChanged(page, IDC_LINE_TEMPLATE, tab.line, false);
}

void HistoryCommand(Window page, int id, unsigned notification) {
    if (TrackingPausedCommand(page, id, notification) ||
        OutputTabCommand(page, historyTab, id, notification) ||
        notification != platform::kNotifyClicked) {
        return;
    }
    if (id == IDC_HISTORY_ENABLE) {
        // The stop marker goes out while logging is still on.
        if (loggingOn.load() != 0) {
            WriteHistoryMarker(true);
        }
        loggingOn.store(loggingOn.load() != 0 ? 0 : 1);
        WriteInt(L"logging_on", loggingOn.load());
        platform::CheckControl(page, IDC_HISTORY_ENABLE, loggingOn.load() != 0);
        if (loggingOn.load() != 0) {
            OutputSwitchedOn(kCatchUpHistory);
        }
    } else if (id == IDC_HISTORY_MARKERS) {
        prePost.store(prePost.load() != 0 ? 0 : 1);
        WriteInt(L"prepost", prePost.load());
        platform::CheckControl(page, IDC_HISTORY_MARKERS, prePost.load() != 0);
    } else if (id == IDC_HISTORY_SCROBBLER_LOG) {
        scrobblerLogOn.store(scrobblerLogOn.load() != 0 ? 0 : 1);
        WriteInt(L"scrobbler_log", scrobblerLogOn.load());
        // The log starts with the next play: a play already under way is
        // not started again for it.
        platform::CheckControl(page, IDC_HISTORY_SCROBBLER_LOG, scrobblerLogOn.load() != 0);
    }
}

void NowPlayingCommand(Window page, int id, unsigned notification) {
    if (OutputTabCommand(page, nowTab, id, notification)) {
        return;
    }
    if (id == IDC_NOW_MODE && notification == platform::kNotifySelChange) {
        const int value =
            (ComboSelection(page, IDC_NOW_MODE) > 0 ? 1 : 0) | (nowLoggingOn.load() & kNowArtwork);
        nowLoggingOn.store(value);
        WriteInt(L"now_logging_on", value);
        if (value != 0) {
            OutputSwitchedOn(kCatchUpNowPlaying);
        }
    }
}

// -- artwork tab

void ShowArtPath(Window page) {
    ShowPathPreview(page, IDC_ART_FILE_TEMPLATE, artFolder, IDC_ART_PATH_PREVIEW);
}

void EnableSizes(Window page, bool enabled) {
    platform::EnableControl(page, IDC_ART_WIDTH, enabled);
    platform::EnableControl(page, IDC_ART_HEIGHT, enabled);
}

// A signed decimal number and nothing else, as the user typed it.
bool ParseSigned(const std::wstring& text, int& value) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == L'-';
    i += negative ? 1 : 0;
    if (i == text.size()) {
        return false;
    }
    long long number = 0;
    for (; i < text.size(); ++i) {
        if (!std::iswdigit(text[i])) {
            return false;
        }
        number = number * 10 + (text[i] - L'0');
        if (number > INT_MAX) {
            return false;
        }
    }
    value = static_cast<int>(negative ? -number : number);
    return true;
}

void OpenArtworkTab(Window page) {
    artFile.snapshot = artFileTemplate;
    platform::SetControlText(page, IDC_ART_FOLDER, artFolder);
    platform::SetControlText(page, IDC_ART_FILE_TEMPLATE, artFileTemplate);
    EnableReset(page, IDC_ART_FILE_RESET, artFileTemplate, kDefaultArtFile);
    platform::CheckControl(page, IDC_ART_ENABLE, (nowLoggingOn.load() & kNowArtwork) != 0);
    const int mode = artLimitUpscale.load();
    const int selection = mode == 1 ? 1 : mode == 3 ? 2 : 0;
    FillCombo(page, IDC_ART_SIZE_MODE,
              {L"Save artwork unmodified", L"Limit maximum artwork size to",
               L"Always size artwork if needed to"},
              selection);
    LimitField(page, IDC_ART_WIDTH, kArtSizeChars + 1);
    LimitField(page, IDC_ART_HEIGHT, kArtSizeChars + 1);
    platform::SetControlText(page, IDC_ART_WIDTH, std::to_wstring(artWidthLimit.load()).c_str());
    platform::SetControlText(page, IDC_ART_HEIGHT, std::to_wstring(artHeightLimit.load()).c_str());
    EnableSizes(page, selection != 0);
    ShowArtPath(page);
    artPageReady = true;
}

void ArtworkCommand(Window page, int id, unsigned notification) {
    if (notification == platform::kNotifyClicked) {
        if (id == IDC_ART_ENABLE) {
            const int value = (platform::IsControlChecked(page, IDC_ART_ENABLE) ? 2 : 0) |
                              (nowLoggingOn.load() & kNowText);
            nowLoggingOn.store(value);
            WriteInt(L"now_logging_on", value);
            if (value != 0) {
                OutputSwitchedOn(kCatchUpNowPlaying);
            }
        } else if (id == IDC_ART_BROWSE) {
            BrowseFolder(page, L"art_now_folder", artFolder, IDC_ART_FOLDER);
            ShowArtPath(page);
        } else if (id == IDC_ART_FILE_RESET) {
            ResetField(page, IDC_ART_FILE_TEMPLATE, artFile, kDefaultArtFile);
        }
    } else if (notification == platform::kNotifySelChange && id == IDC_ART_SIZE_MODE) {
        const int selection = ComboSelection(page, IDC_ART_SIZE_MODE);
        const int value = selection >= 0 && selection < 3 ? kArtModes[selection] : 0;
        artLimitUpscale.store(value);
        WriteInt(L"art_limit_upscale", value);
        EnableSizes(page, value != 0);
    } else if (notification == platform::kNotifyEditChange) {
        if (id == IDC_ART_FILE_TEMPLATE) {
            EnableReset(page, IDC_ART_FILE_RESET, FieldText(page, id, kPathChars), kDefaultArtFile);
            ShowArtPath(page);
        } else if ((id == IDC_ART_WIDTH || id == IDC_ART_HEIGHT) && artPageReady) {
            int value = 0;
            if (ParseSigned(FieldText(page, id, kPathChars), value)) {
                const bool width = id == IDC_ART_WIDTH;
                (width ? artWidthLimit : artHeightLimit).store(value);
                WriteInt(width ? L"art_w_limit" : L"art_h_limit", value);
            }
        }
    }
}

void CloseArtworkTab(Window page) {
    const std::wstring name = FieldText(page, IDC_ART_FILE_TEMPLATE, kPathChars);
    if (name != artFile.snapshot) {
        StoreSettingText(artFileTemplate, kPathChars, name.c_str());
        Host()->writeTextSetting(kSettingsSection, L"art_now_file",
                                 name == kDefaultArtFile ? nullptr : artFileTemplate);
    }
    const std::wstring folder = FieldText(page, IDC_ART_FOLDER, kPathChars);
    if (folder != artFolder) {
        StoreSettingText(artFolder, kPathChars, folder.c_str());
        Host()->writeTemplateSetting(kSettingsSection, L"art_now_folder", artFolder);
    }
    artPageReady = false;
}

// -- POST tab

void ShowChosenEvent(Window page) {
    const int chosen = postSel.load();
    for (int i = 0; i < 4; ++i) {
        platform::ShowControl(page, postEvents[i].enableId, i == chosen);
        platform::ShowControl(page, postEvents[i].templateId, i == chosen);
    }
}

void OpenPostTab(Window page) {
    SetPreviewPage(page);
    SetLink(page, IDC_POST_LINK);
    for (PostEvent& event : postEvents) {
        event.text.snapshot = event.text.setting;
        LimitField(page, event.templateId, kPostChars);
    }
    LimitField(page, IDC_POST_PREVIEW, kPostChars);
    const int modes = postModes.load();
    for (const PostEvent& event : postEvents) {
        platform::SetControlText(page, event.templateId, event.text.setting);
        platform::CheckControl(page, event.enableId, (modes & event.modeBit) != 0);
    }
    platform::CheckControl(page, IDC_POST_RELAX_SSL, (modes & kSslBit) != 0);
    // Remote addresses wait while the host holds the Internet back; local ones still go.
    platform::ShowControl(page, IDC_POST_HELD_BACK, HostHoldsInternetBack(*Host()));
    FillCombo(page, IDC_POST_EVENT,
              {L"POST on playback start (Note: This is for any starting of playback)",
               L"POST on pause", L"POST on un-pause",
               L"POST on playback stop (Note: This is only for hard stops in playback)"},
              postSel.load());
    ShowChosenEvent(page);
    StartPreview(kPreviewPost);
}

void FlipPostMode(int bit) {
    postModes.store(postModes.load() ^ bit);
    WriteInt(L"postmodes", postModes.load());
}

void PostCommand(Window page, int id, unsigned notification) {
    if (notification == platform::kNotifyClicked) {
        for (const PostEvent& event : postEvents) {
            if (id == event.enableId) {
                FlipPostMode(event.modeBit);
                return;
            }
        }
        if (id != IDC_POST_RELAX_SSL) {
            return;
        }
        if ((postModes.load() & kSslBit) == 0 &&
            platform::ShowMessageBox(page, kSslWarning, kSslTitle,
                                     platform::kBoxYesNo | platform::kBoxIconWarning |
                                         platform::kBoxDefaultSecond) != platform::kAnswerYes) {
            platform::CheckControl(page, IDC_POST_RELAX_SSL, false);
            return;
        }
        FlipPostMode(kSslBit);
        platform::CheckControl(page, IDC_POST_RELAX_SSL, (postModes.load() & kSslBit) != 0);
    } else if (notification == platform::kNotifySelChange && id == IDC_POST_EVENT) {
        const int selection = ComboSelection(page, IDC_POST_EVENT);
        postSel.store(selection >= 0 && selection < 4 ? selection : 0);
        WriteInt(L"postsel", postSel.load());
        ShowChosenEvent(page);
        StartPreview(kPreviewPost);
    } else if (notification == platform::kNotifyEditChange) {
        for (const PostEvent& event : postEvents) {
            if (id == event.templateId) {
                PreviewTemplate(page, id, kPreviewModePost);
            }
        }
    }
}

void ClosePostTab(Window page) {
    for (PostEvent& event : postEvents) {
        StoreTextIfChanged(event.text.snapshot.c_str(),
                           FieldText(page, event.templateId, kPostChars).c_str(),
                           event.text.setting, kPostChars, event.text.key);
    }
}

// -- the routines

using CommandHandler = void (*)(Window, int, unsigned);

intptr_t PageRoutine(Window page, unsigned message, uintptr_t wParam, intptr_t lParam,
                     void (*open)(Window), CommandHandler command, void (*close)(Window)) {
    const HostServices* host = Host();
    if (!host) {
        return 0;
    }
    if (message == platform::kMsgInitDialog) {
        open(page);
    } else if (message == platform::kMsgCommand) {
        command(page, static_cast<int>(wParam & 0xFFFF),
                static_cast<unsigned>(wParam >> 16 & 0xFFFF));
    } else if (message == platform::kMsgDestroy) {
        close(page);
    }
    host->defaultPageHandling(page, message, wParam, lParam, -1);
    return 0;
}

}  // namespace

void StoreTextIfChanged(const wchar_t* snapshot, const wchar_t* newText, wchar_t* setting, int size,
                        const wchar_t* key) {
    const HostServices* host = Host();
    if (!host || std::wcscmp(snapshot, newText) == 0) {
        return;
    }
    StoreSettingText(setting, size, newText);
    wchar_t* escaped = host->escapeText(setting);
    host->writeTemplateSetting(kSettingsSection, key, escaped ? escaped : setting);
    if (escaped) {
        host->freeMemory(escaped);
    }
}

intptr_t HistoryPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PageRoutine(
        page, message, wParam, lParam,
        [](Window p) {
            ShowTrackingPaused(p);
            OpenOutputTab(p, historyTab);
            platform::CheckControl(p, IDC_HISTORY_ENABLE, loggingOn.load() != 0);
            platform::CheckControl(p, IDC_HISTORY_MARKERS, prePost.load() != 0);
            platform::CheckControl(p, IDC_HISTORY_SCROBBLER_LOG, scrobblerLogOn.load() != 0);
        },
        &HistoryCommand,
        [](Window p) {
            ForgetTrackingPaused(p);
            CloseOutputTab(p, historyTab);
        });
}

intptr_t NowPlayingPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PageRoutine(
        page, message, wParam, lParam,
        [](Window p) {
            OpenOutputTab(p, nowTab);
            FillCombo(p, IDC_NOW_MODE, {L"Disabled", L"Log currently playing"},
                      nowLoggingOn.load() & kNowText);
        },
        &NowPlayingCommand, [](Window p) { CloseOutputTab(p, nowTab); });
}

intptr_t ArtworkPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PageRoutine(page, message, wParam, lParam, &OpenArtworkTab, &ArtworkCommand,
                       &CloseArtworkTab);
}

intptr_t PostPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PageRoutine(page, message, wParam, lParam, &OpenPostTab, &PostCommand, &ClosePostTab);
}

}  // namespace kiln
