#include "outputs/post_request.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "outputs/output_text.h"
#include "plugin/quit_signal.h"
#include "plugin/settings.h"

namespace kiln {
namespace {

constexpr int kModeUrlEscaped = contract::kTitleModeUrlEscaped;
constexpr int kRequestPost = 1;

// Handles of request threads. The request threads never touch a handle:
// the tracked one is taken out of `postThread` by an atomic exchange, so the
// worker (starting a newer request) and quit never both close it. Handles of
// superseded threads still running are kept by the worker in `olderThreads`
// and reaped there; quit waits for them only after the worker has ended.
std::atomic<ThreadHandle> postThread{nullptr};
std::vector<ThreadHandle> olderThreads;  // worker thread only, then quit

std::wstring TemplateFor(int eventCode) {
    switch (eventCode) {
        case 0:
            return SettingText(postPlay);
        case 1:
            return SettingText(postPause);
        case 2:
            return SettingText(postUnpause);
        case 3:
            return SettingText(postStop);
        default:
            return {};
    }
}

unsigned PostRequestThread(void* argument) {
    const HostServices* host = Host();
    const std::wstring format = TemplateFor(static_cast<int>(reinterpret_cast<intptr_t>(argument)));
    if (!host || format.empty()) {
        return 0;
    }
    void* handle = host->createWebHandle();
    if (!handle) {
        return 0;
    }
    std::vector<wchar_t> url(kPostChars, L'\0');
    FormatForCurrentItem(format.c_str(), url.data(), kPostChars, kModeUrlEscaped);
    std::string address = ToUtf8(url.data());
    void* request =
        host->buildWebRequest(handle, kRequestPost, nullptr, nullptr, address.c_str(), 10, nullptr);
    AbortTransferOnQuit(host, handle);
    host->setWebOptionLong(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    host->setWebOptionLong(handle, CURLOPT_POSTFIELDSIZE, 0);
    if ((postModes.load() & kPostRelaxSsl) != 0) {
        host->setWebOptionLong(handle, CURLOPT_SSL_VERIFYPEER, 0);
    }
    host->performWebRequest(&handle);
    host->freeWebRequest(handle, request, nullptr);
    return 0;
}

void ReapOlder(const HostServices* host) {
    for (auto it = olderThreads.begin(); it != olderThreads.end();) {
        ThreadHandle handle = *it;
        if (host->reapThread(&handle)) {
            it = olderThreads.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void StartPostRequest(int eventCode) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    ReapOlder(host);
    if (ThreadHandle previous = postThread.exchange(nullptr)) {
        if (!host->reapThread(&previous)) {
            olderThreads.push_back(previous);
        }
    }
    ThreadHandle handle =
        host->startThread(&PostRequestThread, reinterpret_cast<void*>(intptr_t{eventCode}), 2);
    if (handle) {
        // Quit may have run meanwhile; then this request is waited for with the older ones.
        if (ThreadHandle raced = postThread.exchange(handle)) {
            olderThreads.push_back(raced);
        }
    }
}

void AwaitPostRequestsUntil(std::chrono::steady_clock::time_point deadline) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    auto wait = [&](ThreadHandle handle) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (handle && left.count() > 0) {
            host->waitThread(handle, static_cast<int>(left.count()), 1);
        }
    };
    wait(postThread.load());
    for (ThreadHandle handle : olderThreads) {
        wait(handle);
    }
}

void StopPostThreadForQuit() {
    const HostServices* host = Host();
    ThreadHandle handle = postThread.exchange(nullptr);
    if (!host || !handle) {
        return;
    }
    if (!host->reapThread(&handle)) {
        host->waitThread(handle, 10000, 1);
        host->closeThread(handle);
    }
}

void StopOlderPostThreadsForQuit() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    StopPostThreadForQuit();  // one started while quit waited for the worker
    for (ThreadHandle handle : olderThreads) {
        if (!host->reapThread(&handle)) {
            host->waitThread(handle, 10000, 1);
            host->closeThread(handle);
        }
    }
    olderThreads.clear();
}

}  // namespace kiln
