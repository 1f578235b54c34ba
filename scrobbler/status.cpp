#include "scrobbler/status.h"

#include <mutex>

#include "platform/window.h"
#include "resources/resource_ids.h"
#include "scrobbler/text_service.h"

namespace kiln {

std::atomic<Window> scrobblerPageWindow{nullptr};

namespace {

// The worker replaces the text while the page may be reading it on the main
// thread; the lock covers the pointer and the copy behind it, never a call
// into the window system.
std::mutex statusLock;
wchar_t* scrobblerStatus = nullptr;  // a text-service copy, guarded by statusLock

}  // namespace

void SetScrobblerStatus(const wchar_t* text, bool transient) {
    std::wstring shown = text ? text : L"";
    {
        std::lock_guard<std::mutex> guard(statusLock);
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
    std::lock_guard<std::mutex> guard(statusLock);
    return scrobblerStatus != nullptr;
}

std::wstring ScrobblerStatusCopy() {
    std::lock_guard<std::mutex> guard(statusLock);
    return scrobblerStatus ? std::wstring(scrobblerStatus) : std::wstring();
}

}  // namespace kiln
