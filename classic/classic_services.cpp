// The service table in a classic player: playback from the player's IPC
// codes, settings in an INI file of our own in the player's ini folder, the
// rest from services/ and Win32.
#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "classic/classic_host.h"
#include "classic/classic_internal.h"
#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "services/artwork.h"
#include "services/gzip_text.h"
#include "services/paths.h"
#include "services/service_operations.h"
#include "services/settings_store.h"
#include "services/text_services.h"
#include "services/title_format.h"
#include "services/track_info.h"
#include "services/web_requests.h"

namespace kiln::classic {
namespace {

using namespace kiln::host;

constexpr const wchar_t* kSection = L"gen_kiln";
constexpr const wchar_t* kDataFolder = L"gen_kiln";

Mutex registeredLock;
std::set<LPARAM> registered GUARDED_BY(registeredLock);

std::wstring_view View(const wchar_t* text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

std::wstring FromCodePage(const char* text, UINT codePage) {
    if (!text) {
        return {};
    }
    int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) {
        MultiByteToWideChar(codePage, 0, text, -1, out.data(), n);
        out.resize(static_cast<size_t>(n - 1));
    }
    return out;
}

// A pointer answer of the player: 0 and 1 mean "none" or "not supported".
bool IsPointerAnswer(LRESULT answer) {
    return answer != 0 && answer != 1;
}

// -- settings: created on first use, after init has found the ini folder

Mutex storeLock;
std::unique_ptr<SettingsStore> store GUARDED_BY(storeLock);

SettingsStore& Store() {
    MutexLock lock(storeLock);
    if (!store) {
        store = std::make_unique<SettingsStore>(std::filesystem::path(Adapter().iniFolder) /
                                                L"gen_kiln.ini");
    }
    return *store;
}

int ReadIntSetting(const wchar_t* section, const wchar_t* key, int def) {
    return Store().ReadInt(View(section), View(key), def);
}
int ReadTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* buffer,
                    int size) {
    return Store().ReadText(View(section), View(key), def, buffer, size);
}
int WriteIntSetting(const wchar_t* section, const wchar_t* key, int value) {
    return Store().WriteInt(View(section), View(key), value) ? 1 : 0;
}
int WriteTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return Store().WriteText(section, key, value) ? 1 : 0;
}
int WriteTemplateSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return Store().WriteTemplate(section, key, value) ? 1 : 0;
}

// -- items: tags from TagLib, completed by what the player reports

std::wstring PlayerField(const std::wstring& file, const wchar_t* name) {
    struct ExtendedInfoW {
        const wchar_t* filename;
        const wchar_t* metadata;
        wchar_t* ret;
        size_t retlen;
    };
    wchar_t value[1024] = L"";
    ExtendedInfoW query = {file.c_str(), name, value, 1024};
    if (Ipc(reinterpret_cast<WPARAM>(&query), kExtendedFileInfoW) == 1 && value[0] != L'\0') {
        value[1023] = L'\0';
        return value;
    }
    return {};
}

TrackInfo ItemInfo(const std::wstring& file) {
    TrackInfo info = file.empty() ? TrackInfo{} : ReadTrackInfo(file);
    if (file.empty() || info.found) {
        return info;
    }
    // The player's decoders know formats and streams TagLib does not.
    info.title = PlayerField(file, L"title");
    info.artist = PlayerField(file, L"artist");
    info.album = PlayerField(file, L"album");
    info.albumArtist = PlayerField(file, L"albumartist");
    info.trackNumber = TextToInt(PlayerField(file, L"track"));
    info.lengthSeconds = TextToInt(PlayerField(file, L"length")) / 1000;
    if (info.title.empty() && file == PlayingFile()) {
        LRESULT title = Ipc(0, kPlayingTitle);
        if (IsPointerAnswer(title)) {
            info.title = reinterpret_cast<const wchar_t*>(title);
        }
    }
    info.found = !info.title.empty() || !info.artist.empty();
    return info;
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

const ItemSource kItems = {&PlayingFile, &ItemInfo, &Now};

int FormatTitleOp(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                  int outSize, int mode, const void*) {
    return FormatItemTitle(kItems, PlayingItem(kItems, location, locationSize), format, out,
                           outSize, mode);
}

int FormatTitleForFileOp(const wchar_t* file, const wchar_t* format, wchar_t* out, int outSize,
                         int mode) {
    return FormatItemTitle(kItems, std::wstring(View(file)), format, out, outSize, mode);
}

int PlaybackStatus() {
    return static_cast<int>(Ipc(0, kIsPlaying));
}
int PlaybackPositionMs() {
    return static_cast<int>(Ipc(0, kOutputTime));
}

int CurrentLengthSeconds() {
    int seconds = static_cast<int>(Ipc(1, kOutputTime));
    if (seconds > 0) {
        return seconds;
    }
    std::wstring file = PlayingFile();
    return file.empty() || IsStreamLocation(file) ? 0 : ReadTrackInfo(file).lengthSeconds;
}

int CurrentFile(wchar_t* out, int size) {
    return CopyToBuffer(PlayingFile(), out, size);
}

int GetMetadata(const wchar_t* file, const TrackMetadata** records, int* count, void** token) {
    return ItemMetadata(kItems, file, records, count, token);
}

int CurrentMetadataField(wchar_t* location, int locationSize, const wchar_t* field, wchar_t* out,
                         int outSize, const void*) {
    return ItemField(kItems, PlayingItem(kItems, location, locationSize), field, out, outSize);
}

int ArtworkKindIsPlaying(wchar_t* location, int locationSize) {
    PlayingItem(kItems, location, locationSize);
    return 0;
}

// A classic player offers no library lookup to general plug-ins.
int HasLocalLibrary() {
    return 0;
}
int LibraryLookup(const wchar_t*, const void*, int) {
    return 0;
}

// -- files and paths, Windows style

std::wstring DataFolder() {
    return Adapter().iniFolder + L"\\" + kDataFolder;
}

const wchar_t* PathEntry(int index) {
    static std::wstring data;
    static std::wstring cache;
    if (index == 2) {
        data = DataFolder();
        return data.c_str();
    }
    if (index == 40) {
        cache = DataFolder() + L"\\cache";
        return cache.c_str();
    }
    return nullptr;
}

wchar_t* JoinPathOp(wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name) {
    std::wstring joined(View(folder));
    std::wstring tail(View(name));
    for (auto& c : tail) {
        c = c == L'/' ? L'\\' : c;
    }
    if ((!tail.empty() && tail[0] == L'\\') || (tail.size() > 1 && tail[1] == L':')) {
        joined = tail;
    } else if (joined.empty()) {
        joined = tail;
    } else {
        if (joined.back() != L'\\' && joined.back() != L'/') {
            joined += L'\\';
        }
        joined += tail;
    }
    CopyToBuffer(joined, dest, destSize);
    return dest;
}

int FileExistsOp(const wchar_t* path) {
    return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int CreatePathOp(const wchar_t* folder) {
    if (!folder || !*folder) {
        return 0;
    }
    std::wstring path(folder);
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
            std::wstring part = path.substr(0, i);
            if (!part.empty() && part.back() != L':') {
                CreateDirectoryW(part.c_str(), nullptr);
            }
        }
    }
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

// Lexical, as the plug-in expects of its host: never made absolute.
void NormalisePathOp(wchar_t* path, int size) {
    if (!path || size <= 0 || !*path) {
        return;
    }
    const bool unc = path[0] == L'\\' && path[1] == L'\\';
    std::wstring clean = NormalisePath(path);
    for (wchar_t& c : clean) {
        c = c == L'/' ? L'\\' : c;
    }
    CopyToBuffer(unc ? L"\\" + clean : clean, path, size);
}

// -- text and numbers

int64_t NowSeconds() {
    return Now();
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
Mutex webMapLock;
std::map<std::string, std::string> webMap GUARDED_BY(webMapLock);

std::string MapUrl(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    size_t hostEnd = url.find_first_of(":/?#", scheme + 3);
    std::string name = url.substr(
        scheme + 3, hostEnd == std::string::npos ? std::string::npos : hostEnd - scheme - 3);
    MutexLock lock(webMapLock);
    auto found = webMap.find(name);
    if (found == webMap.end()) {
        return url;
    }
    // The address replaces scheme, host and port; the path stays.
    size_t pathStart = url.find_first_of("/?#", scheme + 3);
    return found->second + (pathStart == std::string::npos ? "" : url.substr(pathStart));
}

void ReadWebMap() {
    wchar_t text[2048] = L"";
    Store().ReadText(kSection, L"web_map", L"", text, 2048);
    std::string map = WideToUtf8(text);
    MutexLock lock(webMapLock);
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

std::string webBase;
std::wstring webBaseWide;
const char* WebBaseAddress() {
    return webBase.c_str();
}
const wchar_t* WebBaseAddressWide() {
    return webBaseWide.c_str();
}

// -- resources and localisation

unsigned RegisterMessage(const char* name) {
    LRESULT id = Ipc(reinterpret_cast<WPARAM>(name ? name : ""), kRegisterMessage);
    if (id > kRegisterMessage) {
        MutexLock lock(registeredLock);
        registered.insert(id);
    }
    return static_cast<unsigned>(id);
}

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

bool IsOwnMessage(LPARAM code) {
    MutexLock lock(registeredLock);
    return registered.count(code) != 0;
}

std::wstring PlayingFile() {
    LRESULT answer = Ipc(0, kPlayingFileW);
    if (!IsPointerAnswer(answer)) {
        // Older players: the playlist entry at the current position.
        answer = Ipc(static_cast<WPARAM>(Ipc(0, kListPosition)), kPlaylistFileW);
    }
    return IsPointerAnswer(answer) ? std::wstring(reinterpret_cast<const wchar_t*>(answer))
                                   : std::wstring();
}

void StartServices() {
    State& state = Adapter();
    LRESULT folder = Ipc(0, kIniDirectory);
    if (IsPointerAnswer(folder)) {
        state.iniFolder = FromCodePage(reinterpret_cast<const char*>(folder), CP_ACP);
    } else {
        // Players before the ini-folder code keep their ini beside the program.
        wchar_t program[MAX_PATH] = L"";
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        state.iniFolder = program;
        state.iniFolder.erase(state.iniFolder.find_last_of(L"\\/") == std::wstring::npos
                                  ? 0
                                  : state.iniFolder.find_last_of(L"\\/"));
    }
    while (!state.iniFolder.empty() &&
           (state.iniFolder.back() == L'\\' || state.iniFolder.back() == L'/')) {
        state.iniFolder.pop_back();
    }
    {
        MutexLock lock(storeLock);
        store.reset();
    }
    wchar_t base[512] = L"";
    Store().ReadText(kSection, L"web_base", L"https://orbit.example/", base, 512);
    webBaseWide = base;
    webBase = WideToUtf8(webBaseWide);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    SetCurrentItemSource(&PlayingFile);
    ReadWebMap();
    SetWebRouting({[] { return Ipc(0, kInternetAvailable) != 0; }, &MapUrl});
}

void StopServices() {
    // The artwork thread runs the plug-in's callbacks: it ends before the
    // player can unload the code.
    DrainArtworkCallbacks();
}

void RemoveClassicSettings(Instance, Window parent) {
    State& state = Adapter();
    if (state.iniFolder.empty()) {
        // Not started in this process: the settings page's window leads to the player.
        HWND window = static_cast<HWND>(parent);
        while (window && GetParent(window)) {
            window = GetParent(window);
        }
        if (!state.main) {
            state.main = window;
        }
        StartServices();
    }
    Store().WriteText(kSection, nullptr, nullptr);
}

State& Adapter() {
    static State state;
    return state;
}

LRESULT Ipc(WPARAM wParam, LPARAM code) {
    HWND main = Adapter().main;
    return main ? SendMessageW(main, kIpc, wParam, code) : 0;
}

const HostServices* ClassicServices() {
    static const HostServices table = [] {
        HostServices t{};
        FillSharedOperations(t);
        t.readIntSetting = &ReadIntSetting;
        t.readTextSetting = &ReadTextSetting;
        t.writeIntSetting = &WriteIntSetting;
        t.writeTextSetting = &WriteTextSetting;
        t.writeTemplateSetting = &WriteTemplateSetting;
        t.formatTitle = &FormatTitleOp;
        t.formatTitleForFile = &FormatTitleForFileOp;
        t.playbackStatus = &PlaybackStatus;
        t.playbackPositionMs = &PlaybackPositionMs;
        t.currentLengthSeconds = &CurrentLengthSeconds;
        t.currentFile = &CurrentFile;
        t.getMetadata = &GetMetadata;
        t.currentMetadataField = &CurrentMetadataField;
        t.artworkKindIsPlaying = &ArtworkKindIsPlaying;
        t.hasLocalLibrary = &HasLocalLibrary;
        t.libraryLookup = &LibraryLookup;
        t.pathEntry = &PathEntry;
        t.joinPath = &JoinPathOp;
        t.createPath = &CreatePathOp;
        t.normalisePath = &NormalisePathOp;
        t.fileExists = &FileExistsOp;
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
        t.registerMessage = &RegisterMessage;
        t.loadResourceText = &LoadResourceText;
        t.aboutYear = &AboutYear;
        FillWindowOperations(t);
        return t;
    }();
    return &table;
}

}  // namespace kiln::classic
