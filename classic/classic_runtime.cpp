// Web requests, text conversions, threads and resources in a classic player:
// services/ and Win32, with the player's word on the Internet and its name in
// the User-Agent.
//
// Shared between threads: the web map and base addresses (set at init on the
// main thread before any request, read by the POST, worker and presence
// threads), the About year (main thread) and the text objects (every thread,
// locked inside TextObjects).
#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "classic/classic_internal.h"
#include "core/thread_annotations.h"
#include "resources/resource_ids.h"
#include "services/artwork.h"
#include "services/gzip_text.h"
#include "services/service_operations.h"
#include "services/text_services.h"
#include "services/web_requests.h"

namespace kiln::classic {
namespace {

using namespace kiln::host;

// -- text and numbers

int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

UINT CodePage(int codePage) {
    return codePage == contract::kCodePageUtf8 ? CP_UTF8 : CP_ACP;
}

char* WideToNarrow(const wchar_t* text, int length, int codePage) {
    if (!text) {
        return nullptr;
    }
    int n = WideCharToMultiByte(CodePage(codePage), 0, text, length, nullptr, 0, nullptr, nullptr);
    auto* out = static_cast<char*>(std::calloc(static_cast<size_t>(n > 0 ? n : 0) + 1, 1));
    if (out && n > 0) {
        WideCharToMultiByte(CodePage(codePage), 0, text, length, out, n, nullptr, nullptr);
    }
    return out;
}

wchar_t* NarrowToWide(const char* text, int length, int codePage) {
    if (!text) {
        return nullptr;
    }
    int n = MultiByteToWideChar(CodePage(codePage), 0, text, length, nullptr, 0);
    auto* out =
        static_cast<wchar_t*>(std::calloc(static_cast<size_t>(n > 0 ? n : 0) + 1, sizeof(wchar_t)));
    if (out && n > 0) {
        MultiByteToWideChar(CodePage(codePage), 0, text, length, out, n);
    }
    return out;
}

// -- threads: Win32 handles; the routine's convention is ours, so a CALLBACK
// start routine calls it.

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

DWORD CALLBACK ThreadEntry(void* parameter) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    return start->routine(start->argument);
}

ThreadHandle StartThread(ThreadRoutine routine, void* argument, int) {
    auto* start = new ThreadStart{routine, argument};
    HANDLE handle = CreateThread(nullptr, 0, &ThreadEntry, start, 0, nullptr);
    if (!handle) {
        delete start;
    }
    return handle;
}

int ReapThread(ThreadHandle* handle) {
    if (!handle || !*handle || WaitForSingleObject(*handle, 0) != WAIT_OBJECT_0) {
        return 0;
    }
    CloseHandle(*handle);
    *handle = nullptr;
    return 1;
}

// Messages sent to the main window by the thread waited for (its playback
// questions) are answered meanwhile, or both would wait for each other.
int WaitThread(ThreadHandle handle, int timeoutMs, int alertable) {
    if (!handle) {
        return 0;
    }
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        DWORD result = MsgWaitForMultipleObjectsEx(1, &handle, left, QS_SENDMESSAGE,
                                                   alertable ? MWMO_ALERTABLE : 0);
        if (result == WAIT_OBJECT_0) {
            return 0;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else if (result != WAIT_IO_COMPLETION || left == 0) {
            return 1;
        }
    }
}

void CloseThread(ThreadHandle handle) {
    if (handle) {
        CloseHandle(handle);
    }
}

// -- web

int OpenUrl(Window owner, const wchar_t* url, int) {
    if (!url) {
        return 0;
    }
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(static_cast<HWND>(owner), L"open", url, nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32 ? 1 : 0;
}

// web_map: "host=scheme://address[:port],..." sends a service's requests
// elsewhere, as kiln-host's --map does (developers' stand-ins of services).
Mutex webLock;
std::map<std::string, std::string> webMap GUARDED_BY(webLock);
std::string webBase GUARDED_BY(webLock);
std::wstring webBaseWide GUARDED_BY(webLock);

std::string MapUrl(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    size_t hostEnd = url.find_first_of(":/?#", scheme + 3);
    std::string name = url.substr(
        scheme + 3, hostEnd == std::string::npos ? std::string::npos : hostEnd - scheme - 3);
    MutexLock lock(webLock);
    auto found = webMap.find(name);
    if (found == webMap.end()) {
        return url;
    }
    // The address replaces scheme, host and port; the path stays.
    size_t pathStart = url.find_first_of("/?#", scheme + 3);
    return found->second + (pathStart == std::string::npos ? "" : url.substr(pathStart));
}

void ReadWebSettings() {
    wchar_t text[2048] = L"";
    ReadSettingText(L"web_map", L"", text, 2048);
    std::string map = WideToUtf8(text);
    wchar_t base[512] = L"";
    ReadSettingText(L"web_base", L"https://orbit.example/", base, 512);
    MutexLock lock(webLock);
    webBaseWide = base;
    webBase = WideToUtf8(webBaseWide);
    webMap.clear();
    for (size_t start = 0; start < map.size();) {
        size_t end = map.find(',', start);
        std::string entry =
            map.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t equals = entry.find('=');
        if (equals != std::string::npos) {
            webMap[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        start = end == std::string::npos ? map.size() : end + 1;
    }
}

// The texts stay unchanged from init to quit: callers may keep the pointer.
const char* WebBaseAddress() {
    MutexLock lock(webLock);
    return webBase.c_str();
}
const wchar_t* WebBaseAddressWide() {
    MutexLock lock(webLock);
    return webBaseWide.c_str();
}

// "<program>/<player version> gen_kiln/<version>": the player by its program's
// name, as its version word gives it.
std::string UserAgent() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L"\\/") + 1);
    name = name.substr(0, name.rfind(L'.'));
    std::string player;
    for (wchar_t c : name) {
        // A product token is ASCII without separators.
        player += c > 0x20 && c < 0x7F && c != L'/' && c != L'(' && c != L')' ? char(c) : '_';
    }
    if (player.empty()) {
        player = "player";
    }
    LRESULT version = PlayerVersion();
    char text[160];
    if (version > 0) {
        std::snprintf(text, sizeof text, "%s/%x.%02x gen_kiln/%s", player.c_str(),
                      static_cast<unsigned>((version & 0xF000) >> 12),
                      static_cast<unsigned>(version & 0xFF), KILN_VERSION_TEXT);
    } else {
        std::snprintf(text, sizeof text, "%s gen_kiln/%s", player.c_str(), KILN_VERSION_TEXT);
    }
    return text;
}

// The player's "Internet available" follows its connection setting: it keeps
// requests off the Internet, never off this machine or the local network.
// Players before 2.05 have no such answer and hold nothing back.
bool InternetAllowed() {
    return !PlayerHas(kVersion205) || Ipc(0, kInternetAvailable) != 0;
}
// The address is the one the plug-in asked for, before any web_map.
bool AllowsAddress(const std::string& address) {
    return IsLocalAddress(address) || InternetAllowed();
}

// -- resources and localisation

wchar_t* LoadResourceText(Instance module, int id) {
    auto instance = static_cast<HMODULE>(module);
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), L"KILNGZ");
    HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) {
        return nullptr;
    }
    std::optional<std::wstring> text = DecompressUtf16Text(std::span<const uint8_t>(
        static_cast<const uint8_t*>(bytes), SizeofResource(instance, found)));
    return text ? AllocWide(*text) : nullptr;
}

const wchar_t* AboutYear() {
    static wchar_t year[8];
    SYSTEMTIME now;
    GetLocalTime(&now);
    CopyToBuffer(std::to_wstring(now.wYear), year, 8);
    return year;
}

// -- the text-object service (descriptor field 11)

TextObjects& Texts() {
    static TextObjects texts;
    return texts;
}
int TextDispatch(TextService*, int code, void** result, void** args, int argCount) {
    return Texts().Dispatch(code, result, args, argCount);
}
TextService textService = {&TextDispatch};

}  // namespace

TextService* ClassicTextService() {
    return &textService;
}
ArtworkService* ClassicArtworkService() {
    return ArtworkServiceInstance();
}

void StartRuntime() {
    ReadWebSettings();
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    SetCurrentItemSource(&PlayingFile);
    SetWebRouting({nullptr, &MapUrl, &AllowsAddress, UserAgent()});
}

void FillRuntimeOperations(HostServices& t) {
    t.nowSeconds = &NowSeconds;
    t.wideToNarrow = &WideToNarrow;
    t.narrowToWide = &NarrowToWide;
    t.startThread = &StartThread;
    t.reapThread = &ReapThread;
    t.waitThread = &WaitThread;
    t.closeThread = &CloseThread;
    t.openUrl = &OpenUrl;
    t.webBaseAddress = &WebBaseAddress;
    t.webBaseAddressWide = &WebBaseAddressWide;
    t.internetAllowed = [] { return InternetAllowed() ? 1 : 0; };
    t.loadResourceText = &LoadResourceText;
    t.aboutYear = &AboutYear;
}

}  // namespace kiln::classic
