#include "scrobbler/status.h"

#include <mutex>

#include "core/thread_annotations.h"
#include "platform/window.h"
#include "resources/resource_ids.h"
#include "scrobbler/text_service.h"

namespace kiln {

std::atomic<Window> scrobblerPageWindow{nullptr};

namespace {

// The worker replaces the text while the page may be reading it on the main
// thread; the lock covers the pointer and the copy behind it, never a call
// into the window system.
Mutex statusLock;
wchar_t* scrobblerStatus GUARDED_BY(statusLock) = nullptr;  // a text-service copy

}  // namespace

void SetScrobblerStatus(const wchar_t* text, bool transient) {
    std::wstring shown = text ? text : L"";
    {
        MutexLock guard(statusLock);
        if (!transient) {
            scrobblerStatus = TextReplaceWide(text ? text : L"", scrobblerStatus);
        } else if (scrobblerStatus) {
            TextRelease(scrobblerStatus);
            scrobblerStatus = nullptr;
        }
        if (scrobblerStatus) {
            shown = scrobblerStatus;
        }
    }
    Window page = scrobblerPageWindow.load();
    if (page && platform::IsLiveWindow(page)) {
        platform::SetControlText(page, IDC_SCROBBLE_STATUS, shown.c_str());
    }
}

bool HasScrobblerStatus() {
    MutexLock guard(statusLock);
    return scrobblerStatus != nullptr;
}

std::wstring ScrobblerStatusCopy() {
    MutexLock guard(statusLock);
    return scrobblerStatus ? std::wstring(scrobblerStatus) : std::wstring();
}

}  // namespace kiln
