#include "plugin/preview.h"

#include <atomic>
#include <cwchar>
#include <utility>
#include <vector>

#include "core/thread_annotations.h"
#include "platform/window.h"
#include "plugin/settings.h"
#include "plugin/template_lines.h"
#include "resources/resource_ids.h"

namespace kiln {
namespace {

// Title-format modes of the host.
constexpr int kFormatFileName = 0;
constexpr int kFormatUrlEscaped = 1;
constexpr int kFormatPlain = 2;
constexpr int kPresencePreviewChars = 256;
constexpr int kLocationBufferChars = 260;

std::atomic<Window> previewPage{nullptr};

// The thread's handle and whether a request waits are shared between the main
// thread (start, quit) and the preview thread (its end), so that the handle is
// closed exactly once and no request is lost between a run's end and a start.
Mutex previewMutex;
ThreadHandle previewThread GUARDED_BY(previewMutex) = nullptr;
bool previewRunning GUARDED_BY(previewMutex) = false;
int pendingCode GUARDED_BY(previewMutex) = 0;
bool quitting GUARDED_BY(previewMutex) = false;

// Formats for the item now playing. Each caller has its own location buffer:
// the worker formats at the same time into the shared one.
void Format(const wchar_t* format, wchar_t* out, int outChars, int mode) {
    out[0] = L'\0';
    wchar_t location[kLocationBufferChars] = L"";
    if (const HostServices* host = Host()) {
        host->formatTitle(location, kLocationBufferChars, format, out, outChars, mode, nullptr);
    }
}

// A host-allocated text, released with the host's service.
struct HostText {
    wchar_t* text;
    ~HostText() {
        if (text) {
            Host()->freeMemory(text);
        }
    }
};

// The whole text of a field that holds up to `size` characters.
std::wstring FieldText(Window page, int controlId, int size) {
    std::vector<wchar_t> field(static_cast<size_t>(size));
    platform::GetControlText(page, controlId, field.data(), size);
    return field.data();
}

std::wstring PreviewLineTemplate(Window page, const wchar_t* defaultTemplate) {
    // The whole field, as the output will format it.
    const std::wstring field = FieldText(page, IDC_LINE_TEMPLATE, kLineChars);
    platform::EnableControl(page, IDC_LINE_RESET, field != defaultTemplate);
    std::vector<wchar_t> formatted(kLineChars);
    Format(field.c_str(), formatted.data(), kLineChars, kFormatPlain);
    platform::SetControlText(page, IDC_LINE_PREVIEW, formatted.data());
    return field;
}

int PostFieldOf(int selection) {
    switch (selection) {
        case 1:
            return IDC_POST_PAUSE_TEMPLATE;
        case 2:
            return IDC_POST_UNPAUSE_TEMPLATE;
        case 3:
            return IDC_POST_STOP_TEMPLATE;
        default:
            return IDC_POST_PLAY_TEMPLATE;
    }
}

// Shows the preview for `code`; whether it was made from the field's text as
// it stands now.
bool RunPreview(int code) {
    Window page = previewPage.load();
    if (!Host() || !platform::IsLiveWindow(page)) {
        return true;
    }
    int field = IDC_LINE_TEMPLATE;
    int size = kLineChars;
    std::wstring madeFrom;
    if (code == kPreviewHistoryLine) {
        madeFrom = PreviewLineTemplate(page, kDefaultHistoryFormat);
    } else if (code == kPreviewNowLine) {
        madeFrom = PreviewLineTemplate(page, kDefaultNowFormat);
    } else if (code == kPreviewPost) {
        field = PostFieldOf(postSel.load());
        size = kPostChars;
        madeFrom = PreviewTemplate(page, field, kPreviewModePost);
    } else {
        field = IDC_PRESENCE_TEMPLATE;
        madeFrom = PreviewTemplate(page, field, code);
    }
    return FieldText(page, field, size) == madeFrom;
}

unsigned PreviewMain(void* argument) {
    int code = static_cast<int>(reinterpret_cast<intptr_t>(argument));
    for (;;) {
        // The page previews a change at once on its own thread too; a run that
        // read the field before that change would leave the older text's
        // preview as the last word, so it runs again.
        if (!RunPreview(code)) {
            continue;
        }
        MutexLock lock(previewMutex);
        if (pendingCode != 0 && !quitting) {
            code = std::exchange(pendingCode, 0);
            continue;
        }
        previewRunning = false;
        // The handle stays for the next start or for quit to wait on: the
        // thread is still returning through this library's code, which an
        // unload must not take away under it.
        return 0;
    }
}

}  // namespace

void SetPreviewPage(Window page) {
    previewPage.store(page);
}

Window PreviewPage() {
    return previewPage.load();
}

void StartPreview(int code) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    MutexLock lock(previewMutex);
    if (quitting) {
        return;
    }
    if (previewRunning) {
        pendingCode = code;
        return;
    }
    previewRunning = true;
    // An earlier run has said it is done and is at most returning.
    if (ThreadHandle ended = std::exchange(previewThread, nullptr);
        ended && !host->reapThread(&ended)) {
        host->waitThread(ended, 10000, 1);
        host->closeThread(ended);
    }
    previewThread =
        host->startThread(&PreviewMain, reinterpret_cast<void*>(static_cast<intptr_t>(code)), 2);
    if (!previewThread) {
        previewRunning = false;
    }
}

std::wstring PreviewTemplate(Window window, int controlId, int mode) {
    const HostServices* host = Host();
    if (!host) {
        return {};
    }
    const int size = mode == kPreviewModePost ? kPostChars : kLineChars;
    const std::wstring field = FieldText(window, controlId, size);
    HostText escaped{host->escapeText(field.c_str())};
    const wchar_t* stored = escaped.text ? escaped.text : field.c_str();
    if (mode != kPreviewModePost) {
        platform::EnableControl(window, IDC_PRESENCE_RESET,
                                std::wcscmp(stored, kDefaultPresenceTemplate) != 0);
    }
    const int formatMode = mode == kPreviewModePost       ? kFormatUrlEscaped
                           : mode == kPreviewModePresence ? kFormatPlain
                                                          : kFormatFileName;
    // Nothing is unescaped after formatting, which would also undo a tag's own
    // backslashes: the POST text is formatted whole as the request does, the
    // others line by line as their outputs do.
    std::wstring shown;
    if (mode == kPreviewModePost) {
        std::vector<wchar_t> formatted(static_cast<size_t>(size));
        Format(field.c_str(), formatted.data(), size, formatMode);
        shown = formatted.data();
    } else {
        wchar_t location[kLocationBufferChars] = L"";
        shown = FormatTemplateLines(field.c_str(), location, kLocationBufferChars, formatMode,
                                    nullptr, size);
    }
    if (mode == kPreviewModePresence && shown.size() > kPresencePreviewChars) {
        shown.resize(kPresencePreviewChars);
    }
    platform::SetControlText(window, IDC_PRESENCE_PREVIEW, shown.c_str());
    return field;
}

void StopPreviewThreadForQuit() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    ThreadHandle handle = nullptr;
    {
        MutexLock lock(previewMutex);
        quitting = true;
        pendingCode = 0;
        handle = std::exchange(previewThread, nullptr);
    }
    if (handle && !host->reapThread(&handle)) {
        host->waitThread(handle, 10000, 1);
        host->closeThread(handle);
    }
    // A plug-in started again after quit previews again.
    MutexLock lock(previewMutex);
    quitting = false;
}

}  // namespace kiln
