#include "plugin/quit_signal.h"

#include <curl/curl.h>

#include <atomic>

namespace kiln {
namespace {

std::atomic<bool> quitRequested{false};

int ProgressUntilQuit(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return quitRequested.load() ? 1 : 0;
}

}  // namespace

bool QuitRequested() {
    return quitRequested.load();
}

void SetQuitRequested(bool requested) {
    quitRequested.store(requested);
}

void AbortTransferOnQuit(const HostServices* host, void* handle) {
    if (!host || !handle) {
        return;
    }
    host->setWebOptionLong(handle, static_cast<int>(CURLOPT_NOPROGRESS), 0);
    host->setWebOptionPointer(handle, static_cast<int>(CURLOPT_XFERINFOFUNCTION),
                              reinterpret_cast<const void*>(&ProgressUntilQuit));
    host->setWebOptionPointer(handle, static_cast<int>(CURLOPT_XFERINFODATA), nullptr);
}

}  // namespace kiln
