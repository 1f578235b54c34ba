#include "scrobbler/queue_page.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/wide_format.h"
#include "core/win32.h"
#include "platform/clock_text.h"
#include "platform/file.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "resources/resource_ids.h"
#include "scrobbler/scrobble_queue.h"

namespace kiln {
namespace {

constexpr int kTextChars = 512;
constexpr int kPathChars = 1024;

// What the lists show, in their order: a selection names these lines, and
// an action acts on them by what they say, not by where they were.
QueueView shown;  // the host's main thread only

std::wstring When(int64_t time) {
    return platform::LocalDateText(time) + L" " + platform::LocalTimeText(time);
}

std::wstring ItemText(const QueueLine& line) {
    std::wstring text = line.time > 0 ? When(line.time) + L"   " : std::wstring();
    if (!line.artist.empty() || !line.title.empty()) {
        text += line.artist + L" \u2013 " + line.title;
    } else {
        text += line.file;  // nothing known of it but its name
    }
    if (!line.reason.empty()) {
        text += L": ";
        text += std::wstring(line.reason.begin(), line.reason.end());  // ASCII, ours
    }
    return text;
}

void Fill(Window page, int list, const std::vector<QueueLine>& lines) {
    platform::SendControlMessage(page, list, win::kListResetContent, 0, 0);
    for (const QueueLine& line : lines) {
        const std::wstring text = ItemText(line);
        platform::SendControlMessage(page, list, win::kListAddString, 0,
                                     reinterpret_cast<intptr_t>(text.c_str()));
    }
}

void Refresh(Window page) {
    shown = ReadQueue();
    wchar_t text[kTextChars];
    int64_t oldest = 0;
    for (const QueueLine& line : shown.waiting) {
        if (line.time > 0 && (oldest == 0 || line.time < oldest)) {
            oldest = line.time;
        }
    }
    const int waiting = static_cast<int>(shown.waiting.size());
    if (shown.cacheUnreadable) {
        FormatWide(text, kTextChars, L"The scrobble cache couldn't be read.", {});
    } else if (waiting == 0) {
        FormatWide(text, kTextChars, L"No plays are waiting to be scrobbled.", {});
    } else if (oldest == 0) {
        FormatWide(text, kTextChars, L"%d play(s) waiting.", {waiting});
    } else {
        FormatWide(text, kTextChars, L"%d play(s) waiting, the oldest from %s.",
                   {waiting, When(oldest).c_str()});
    }
    platform::SetControlText(page, IDC_QUEUE_SUMMARY, text);
    if (const auto attempt = LastSubmissionAttempt()) {
        FormatWide(text, kTextChars, L"Last attempt: %s, %s.",
                   {When(attempt->when).c_str(), OutcomeText(*attempt).c_str()});
    } else {
        FormatWide(text, kTextChars, L"Last attempt: none since the player started.", {});
    }
    platform::SetControlText(page, IDC_QUEUE_LAST_ATTEMPT, text);
    Fill(page, IDC_QUEUE_WAITING, shown.waiting);
    Fill(page, IDC_QUEUE_REJECTED, shown.rejected);
    platform::EnableControl(page, IDC_QUEUE_REMOVE, waiting > 0);
    platform::EnableControl(page, IDC_QUEUE_MOVE_BACK, !shown.rejected.empty());
    const HostServices* host = Host();
    platform::EnableControl(page, IDC_QUEUE_EXPORT, host && HostChoosesSaveFile(*host));
}

// The texts of the selected lines of a list.
std::vector<std::string> Selected(Window page, int list, const std::vector<QueueLine>& lines) {
    const intptr_t count = platform::SendControlMessage(page, list, win::kListGetSelCount, 0, 0);
    if (count <= 0) {
        return {};
    }
    std::vector<int> indices(static_cast<size_t>(count));
    const intptr_t got = platform::SendControlMessage(page, list, win::kListGetSelItems,
                                                      static_cast<uintptr_t>(count),
                                                      reinterpret_cast<intptr_t>(indices.data()));
    std::vector<std::string> texts;
    for (intptr_t i = 0; i < std::max<intptr_t>(got, 0) && i < count; ++i) {
        const int index = indices[static_cast<size_t>(i)];
        if (index >= 0 && index < static_cast<int>(lines.size())) {
            texts.push_back(lines[static_cast<size_t>(index)].text);
        }
    }
    return texts;
}

bool Confirm(Window page, int textId, int count) {
    wchar_t text[kTextChars];
    FormatWide(text, kTextChars, LocalString(textId), {count});
    return platform::ShowMessageBox(
               page, text, LocalString(IDS_QUEUE_CONFIRM_TITLE),
               win::kBoxYesNo | win::kBoxIconQuestion | win::kBoxDefaultSecond) == win::kIdYes;
}

void Tell(Window page, int textId) {
    platform::ShowMessageBox(page, LocalString(textId), LocalString(IDS_SCROBBLE_QUEUE),
                             win::kBoxIconWarning);
}

void SayWhatWentWrong(Window page, QueueEdit outcome) {
    if (outcome == QueueEdit::NotOwner) {
        Tell(page, IDS_QUEUE_NOT_OWNER);
    } else if (outcome == QueueEdit::Failed) {
        Tell(page, IDS_QUEUE_EDIT_FAILED);
    }
}

void OnRemove(Window page) {
    const std::vector<std::string> lines = Selected(page, IDC_QUEUE_WAITING, shown.waiting);
    if (lines.empty() || !Confirm(page, IDS_QUEUE_REMOVE_CONFIRM, static_cast<int>(lines.size()))) {
        return;
    }
    SayWhatWentWrong(page, RemoveFromQueue(lines));
}

void OnMoveBack(Window page) {
    // The selected lines, or all of them when none is selected.
    std::vector<std::string> lines = Selected(page, IDC_QUEUE_REJECTED, shown.rejected);
    if (lines.empty()) {
        for (const QueueLine& line : shown.rejected) {
            lines.push_back(line.text);
        }
    }
    if (lines.empty() ||
        !Confirm(page, IDS_QUEUE_MOVE_BACK_CONFIRM, static_cast<int>(lines.size()))) {
        return;
    }
    SayWhatWentWrong(page, MoveBackToQueue(lines));
}

void OnExport(Window page) {
    const HostServices* host = Host();
    if (!host || !HostChoosesSaveFile(*host)) {
        return;
    }
    wchar_t path[kPathChars] = L"scrobble queue.csv";
    if (!host->chooseSaveFile(page, LocalString(IDS_QUEUE_EXPORT_TITLE), L"csv", path,
                              kPathChars)) {
        return;
    }
    const std::string csv = QueueCsv(ReadQueue());
    platform::FileHandle file = platform::CreateSharedForWrite(path);
    const bool written = file && platform::WriteAll(file, csv.data(), csv.size());
    platform::CloseFileHandle(file);
    if (!written) {
        Tell(page, IDS_QUEUE_EXPORT_FAILED);
    }
}

void OnSubmit(Window page) {
    if ((scrobbleFlags.load() & kScrobbleOn) == 0) {
        Tell(page, IDS_QUEUE_SCROBBLING_OFF);
        return;
    }
    RequestQueueSubmission();  // the worker tells the page when it is done
}

}  // namespace

intptr_t ScrobbleQueuePageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    const HostServices* host = Host();
    if (!host) {
        return 0;
    }
    if (message == platform::kMsgInitDialog) {
        SetQueuePageWindow(page);
        ShowTrackingPaused(page);
        Refresh(page);
    } else if (message == kQueueChangedMessage) {
        Refresh(page);
    } else if (message == platform::kMsgDestroy) {
        ForgetTrackingPaused(page);
        SetQueuePageWindow(nullptr);
        shown = QueueView{};
    } else if (message == platform::kMsgCommand) {
        const int control = static_cast<int>(wParam & 0xFFFF);
        const unsigned notification = static_cast<unsigned>((wParam >> 16) & 0xFFFF);
        if (!TrackingPausedCommand(page, control, notification) &&
            notification == platform::kNotifyClicked) {
            switch (control) {
                case IDC_QUEUE_SUBMIT:
                    OnSubmit(page);
                    break;
                case IDC_QUEUE_REMOVE:
                    OnRemove(page);
                    Refresh(page);
                    break;
                case IDC_QUEUE_MOVE_BACK:
                    OnMoveBack(page);
                    Refresh(page);
                    break;
                case IDC_QUEUE_EXPORT:
                    OnExport(page);
                    break;
                case IDC_QUEUE_REFRESH:
                    Refresh(page);
                    break;
                default:
                    break;
            }
        }
    }
    host->defaultPageHandling(page, message, wParam, lParam, -1);
    return 0;
}

}  // namespace kiln
