#include "tests/win/win_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>

namespace kiln::winhost {
namespace {

constexpr UINT kHostIpcMessage = 0x0400;

std::mutex mutex;  // guards everything below that threads may reach
Record record;
std::map<std::wstring, std::map<std::wstring, std::wstring>> settings;
std::map<std::pair<Instance, int>, std::wstring> moduleStrings;
std::set<HANDLE> threadHandles;
ThreadCounts threadCounts;
int menuChoice = 0;
int messageBoxAnswer = IDNO;
PluginDescriptor* attached = nullptr;
HWND mainWindow = nullptr;
std::wstring profileFolder;

HWND H(Window w) {
    return static_cast<HWND>(w);
}
HMENU M(Menu m) {
    return static_cast<HMENU>(m);
}

std::wstring Text(const wchar_t* text) {
    return text ? std::wstring(text) : std::wstring();
}

int CopyOut(const std::wstring& text, wchar_t* out, int size) {
    if (!out || size <= 0) {
        return 0;
    }
    size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    std::wmemcpy(out, text.data(), count);
    out[count] = L'\0';
    return static_cast<int>(count);
}

wchar_t* AllocWide(const std::wstring& text) {
    auto* out = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (out) {
        std::wmemcpy(out, text.c_str(), text.size() + 1);
    }
    return out;
}

UINT CodePage(int codePage) {
    return codePage == 0 ? CP_ACP : static_cast<UINT>(codePage);
}

// -- settings: an in-memory store is all the smoke test needs

std::optional<std::wstring> Lookup(const wchar_t* section, const wchar_t* key) {
    std::lock_guard lock(mutex);
    auto s = settings.find(Text(section));
    if (s == settings.end()) {
        return std::nullopt;
    }
    auto k = s->second.find(Text(key));
    if (k == s->second.end()) {
        return std::nullopt;
    }
    return k->second;
}

int ReadIntSetting(const wchar_t* section, const wchar_t* key, int defaultValue) {
    auto value = Lookup(section, key);
    if (!value || value->empty()) {
        return defaultValue;
    }
    wchar_t* end = nullptr;
    long long number = std::wcstoll(value->c_str(), &end, 10);
    return end && *end == L'\0' ? static_cast<int>(number) : defaultValue;
}

int ReadTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                    wchar_t* buffer, int size) {
    auto value = Lookup(section, key);
    return CopyOut(value ? *value : Text(defaultValue), buffer, size);
}

int WriteTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    std::lock_guard lock(mutex);
    if (!key) {
        settings.erase(Text(section));
    } else if (!value) {
        auto s = settings.find(Text(section));
        if (s != settings.end()) {
            s->second.erase(key);
        }
    } else {
        settings[Text(section)][key] = value;
    }
    return 1;
}

int WriteIntSetting(const wchar_t* section, const wchar_t* key, int value) {
    return WriteTextSetting(section, key, std::to_wstring(value).c_str());
}

// Line breaks and backslashes become backslash escapes, so a text keeps to one line.
wchar_t* EscapeText(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* c = text ? text : L""; *c; ++c) {
        switch (*c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\n':
                out += L"\\n";
                break;
            default:
                out += *c;
        }
    }
    return AllocWide(out);
}

wchar_t* UnescapeText(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* c = text ? text : L""; *c; ++c) {
        if (*c != L'\\' || c[1] == L'\0') {
            out += *c;
            continue;
        }
        ++c;
        out += *c == L'n' ? L'\n' : *c == L'r' ? L'\r' : *c;
    }
    return AllocWide(out);
}

// -- title formatting, playback and items: nothing is playing

int FormatTitle(wchar_t* location, int locationSize, const wchar_t*, wchar_t* out, int outSize, int,
                const void*) {
    CopyOut(L"", location, locationSize);
    return CopyOut(L"", out, outSize);
}
int FormatTitleForFile(const wchar_t*, const wchar_t*, wchar_t* out, int outSize, int) {
    return CopyOut(L"", out, outSize);
}
int PlaybackStatus() {
    return 0;
}
int PlaybackPositionMs() {
    return 0;
}
int CurrentLengthSeconds() {
    return 0;
}
int CurrentFile(wchar_t* out, int size) {
    return CopyOut(L"", out, size);
}
int IsStream(const wchar_t* name) {
    return name && std::wcsstr(name, L"://") ? 1 : 0;
}
int IsStreamUtf8(const char* name) {
    return name && std::strstr(name, "://") ? 1 : 0;
}
int GetMetadata(const wchar_t*, const TrackMetadata** records, int* count, void** releaseToken) {
    if (records) {
        *records = nullptr;
    }
    if (count) {
        *count = 0;
    }
    if (releaseToken) {
        *releaseToken = nullptr;
    }
    return -1;
}
void ReleaseMetadata(void*) {}
int CurrentMetadataField(wchar_t* location, int locationSize, const wchar_t*, wchar_t* out,
                         int outSize, const void*) {
    CopyOut(L"", location, locationSize);
    return CopyOut(L"", out, outSize);
}
int ArtworkKindIsPlaying(wchar_t* location, int locationSize) {
    CopyOut(L"", location, locationSize);
    return 0;
}
int HasLocalLibrary() {
    return 0;
}
int LibraryLookup(const wchar_t*, const void*, int) {
    return 0;
}

// -- files and paths

const wchar_t* PathEntry(int index) {
    return index == 2 || index == 40 ? ProfileFolder() : nullptr;
}

wchar_t* JoinPath(wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name) {
    std::wstring joined = Text(folder);
    if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/') {
        joined += L'\\';
    }
    joined += Text(name);
    CopyOut(joined, dest, destSize);
    return dest;
}

int CreatePath(const wchar_t* folder) {
    if (!folder || !*folder) {
        return 0;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return std::filesystem::is_directory(folder, error) ? 1 : 0;
}

void NormalisePath(wchar_t* path, int size) {
    if (!path || size <= 0) {
        return;
    }
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length > 0 && length < MAX_PATH) {
        CopyOut(full, path, size);
    }
}

int FileExists(const wchar_t* path) {
    return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int AppendTextFile(void** slot, const wchar_t* path, const char* text, int length) {
    if (!slot || !text) {
        return 0;
    }
    if (!*slot) {
        HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 0;
        }
        *slot = file;
    }
    DWORD count = length < 0 ? static_cast<DWORD>(std::strlen(text)) : static_cast<DWORD>(length);
    DWORD written = 0;
    return WriteFile(static_cast<HANDLE>(*slot), text, count, &written, nullptr) && written == count
               ? 1
               : 0;
}

void CloseTextFile(void** slot) {
    if (slot && *slot) {
        CloseHandle(static_cast<HANDLE>(*slot));
        *slot = nullptr;
    }
}

void* OpenForReading(const wchar_t* path) {
    return path ? _wfopen(path, L"rb") : nullptr;
}
int AtEndOfFile(void* file) {
    return !file || std::feof(static_cast<FILE*>(file)) ? 1 : 0;
}
int ReadLine(void* file, char* buffer, int size) {
    return file && buffer && size > 0 && std::fgets(buffer, size, static_cast<FILE*>(file)) ? 1 : 0;
}
void CloseFile(void* file) {
    if (file) {
        std::fclose(static_cast<FILE*>(file));
    }
}
int FileDigest(const wchar_t*, char* out, int size) {
    if (out && size > 0) {
        out[0] = '\0';
    }
    return 0;
}

// -- text and numbers

int TextEqual(const wchar_t* a, const wchar_t* b) {
    return Text(a) == Text(b) ? 1 : 0;
}
int TextEqualUtf8(const char* a, const char* b) {
    return std::strcmp(a ? a : "", b ? b : "") == 0 ? 1 : 0;
}
int PrefixEqualUtf8(const char* text, const char* prefix, int count) {
    return count <= 0 || _strnicmp(text ? text : "", prefix ? prefix : "",
                                   static_cast<size_t>(count)) == 0
               ? 1
               : 0;
}
int Int64ToText(int64_t value, char* out, int size) {
    if (!out || size <= 0) {
        return 0;
    }
    std::string text = std::to_string(value);
    if (text.size() >= static_cast<size_t>(size)) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}
int TextToInt(const wchar_t* text) {
    return text ? static_cast<int>(std::wcstol(text, nullptr, 10)) : 0;
}
int Md5Text(const char*, char* out, int size) {
    if (out && size > 0) {
        out[0] = '\0';
    }
    return 0;
}
int RandomIdentifier(wchar_t* out, int size) {
    static constexpr wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    if (!out || size <= 0) {
        return 0;
    }
    std::random_device device;
    std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(kAlphabet)) - 2);
    for (int i = 0; i < size - 1; ++i) {
        out[i] = kAlphabet[pick(device)];
    }
    out[size - 1] = L'\0';
    return size - 1;
}
int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

char* WideToNarrow(const wchar_t* text, int length, int codePage) {
    if (!text) {
        return nullptr;
    }
    int bytes =
        WideCharToMultiByte(CodePage(codePage), 0, text, length, nullptr, 0, nullptr, nullptr);
    auto* out = static_cast<char*>(std::calloc(static_cast<size_t>(bytes) + 1, 1));
    if (out && bytes > 0) {
        WideCharToMultiByte(CodePage(codePage), 0, text, length, out, bytes, nullptr, nullptr);
    }
    return out;
}

wchar_t* NarrowToWide(const char* text, int length, int codePage) {
    if (!text) {
        return nullptr;
    }
    int chars = MultiByteToWideChar(CodePage(codePage), 0, text, length, nullptr, 0);
    auto* out = static_cast<wchar_t*>(std::calloc(static_cast<size_t>(chars) + 1, sizeof(wchar_t)));
    if (out && chars > 0) {
        MultiByteToWideChar(CodePage(codePage), 0, text, length, out, chars);
    }
    return out;
}

// The limit counts the terminator; a cut backs off to a whole character.
int WideToUtf8Buffer(const wchar_t* text, char* out, int limit) {
    if (!out || limit <= 0) {
        return 0;
    }
    out[0] = '\0';
    if (!text) {
        return 0;
    }
    std::string whole;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return 0;
    }
    whole.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, whole.data(), bytes, nullptr, nullptr);
    whole.resize(static_cast<size_t>(bytes - 1));
    size_t count = std::min(whole.size(), static_cast<size_t>(limit - 1));
    while (count > 0 && count < whole.size() &&
           (static_cast<unsigned char>(whole[count]) & 0xC0) == 0x80) {
        --count;
    }
    std::memcpy(out, whole.data(), count);
    out[count] = '\0';
    return static_cast<int>(count);
}

void* AllocMemory(size_t bytes) {
    return std::calloc(bytes ? bytes : 1, 1);
}
void FreeMemory(void* block) {
    std::free(block);
}

// -- threads: real ones, counted so the test can see what outlives quit

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

DWORD WINAPI ThreadMain(LPVOID parameter) {
    auto* start = static_cast<ThreadStart*>(parameter);
    unsigned code = start->routine(start->argument);
    delete start;
    std::lock_guard lock(mutex);
    --threadCounts.running;
    return code;
}

bool TakeKnownHandle(HANDLE handle) {
    std::lock_guard lock(mutex);
    if (threadHandles.erase(handle) == 0) {
        ++threadCounts.badHandleUses;
        return false;
    }
    --threadCounts.openHandles;
    return true;
}

bool IsKnownHandle(HANDLE handle) {
    std::lock_guard lock(mutex);
    if (threadHandles.count(handle) == 0) {
        ++threadCounts.badHandleUses;
        return false;
    }
    return true;
}

ThreadHandle StartThread(ThreadRoutine routine, void* argument, int) {
    if (!routine) {
        return nullptr;
    }
    auto* start = new ThreadStart{routine, argument};
    std::lock_guard lock(mutex);
    // Counted before it runs, so a quick routine cannot end before it is counted.
    HANDLE handle = CreateThread(nullptr, 0, &ThreadMain, start, 0, nullptr);
    if (!handle) {
        delete start;
        return nullptr;
    }
    threadHandles.insert(handle);
    ++threadCounts.started;
    ++threadCounts.running;
    ++threadCounts.openHandles;
    return handle;
}

int ReapThread(ThreadHandle* handle) {
    if (!handle || !*handle || !IsKnownHandle(*handle)) {
        return 0;
    }
    if (WaitForSingleObject(*handle, 0) != WAIT_OBJECT_0) {
        return 0;
    }
    TakeKnownHandle(*handle);
    CloseHandle(*handle);
    *handle = nullptr;
    return 1;
}

int WaitThread(ThreadHandle handle, int timeoutMs, int alertable) {
    if (!handle || !IsKnownHandle(handle)) {
        return 1;
    }
    // Completion routines run during an alertable wait; the wait then goes on
    // for the time that is left.
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = timeoutMs < 0     ? INFINITE
                     : now >= deadline ? 0
                                       : static_cast<DWORD>(deadline - now);
        DWORD result = WaitForSingleObjectEx(handle, left, alertable ? TRUE : FALSE);
        if (result == WAIT_OBJECT_0) {
            return 0;
        }
        if (result != WAIT_IO_COMPLETION) {
            return 1;
        }
    }
}

void CloseThread(ThreadHandle handle) {
    if (handle && TakeKnownHandle(handle)) {
        CloseHandle(handle);
    }
}

// -- web: this host ships no libcurl

void* CreateWebHandle() {
    return nullptr;
}
void* BuildWebRequest(void*, int, char** errorText, WebWriteRoutine, const char*, int, void*) {
    if (errorText) {
        *errorText = nullptr;
    }
    return nullptr;
}
constexpr int kWebFailedInit = 2;  // libcurl's CURLE_FAILED_INIT
int SetWebOptionLong(void*, int, long) {
    return kWebFailedInit;
}
int SetWebOptionPointer(void*, int, const void*) {
    return kWebFailedInit;
}
int SetWebOptionOffset(void*, int, int64_t) {
    return kWebFailedInit;
}
int PerformWebRequest(void**) {
    return kWebFailedInit;
}
long WebResponseCode(void*) {
    return 0;
}
void FreeWebRequest(void*, void*, char*) {}
int OpenUrl(Window, const wchar_t*, int) {
    return 0;
}
const char* WebBaseAddress() {
    return "";
}
const wchar_t* WebBaseAddressWide() {
    return L"";
}

// -- pages, menus and boxes: recorded, never shown

intptr_t AddPrefsPage(Instance instance, int flags, const wchar_t* name, const PrefsTab* tabs,
                      int tabCount, int parent, PagePositionProc position, CreateDialogProc create,
                      int visible, LocalisationService* localisation, int group, int pageCode) {
    std::lock_guard lock(mutex);
    PageCall call;
    call.id = 0x4B00 + static_cast<intptr_t>(record.pages.size());
    call.instance = instance;
    call.flags = flags;
    call.name = Text(name);
    if (tabs && tabCount > 0) {
        call.tabs.assign(tabs, tabs + tabCount);
    }
    call.parent = parent;
    call.position = position;
    call.create = create;
    call.visible = visible;
    call.localisation = localisation;
    call.group = group;
    call.pageCode = pageCode;
    record.pages.push_back(call);
    return call.id;
}

void RemovePrefsPage(intptr_t pageId) {
    std::lock_guard lock(mutex);
    record.removedPages.push_back(pageId);
}
void ReplacePageDialog(intptr_t, DialogProc, int) {}
void RefreshPage(intptr_t, int) {}
void SetTabName(intptr_t pageId, int index, const wchar_t* name) {
    std::lock_guard lock(mutex);
    record.tabNames.push_back({pageId, index, Text(name)});
}
void FinaliseTabs(intptr_t pageId, int flags) {
    std::lock_guard lock(mutex);
    record.finalisedTabs.emplace_back(pageId, flags);
}
void OpenPreferences(intptr_t pageId, int flags) {
    std::lock_guard lock(mutex);
    record.openedPreferences.emplace_back(pageId, flags);
}
intptr_t DefaultPageHandling(Window, unsigned, uintptr_t, intptr_t, int) {
    return 0;
}
int SetLinkText(Window page, int controlId, const wchar_t* address) {
    return SetDlgItemTextW(H(page), controlId, address) ? 1 : 0;
}
void* StyleButton(Window, int, void* previous) {
    return previous;
}
int BrowseForFolder(Window, const wchar_t*, wchar_t*, int) {
    return 0;
}
void ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
    std::lock_guard lock(mutex);
    record.aboutBoxes.push_back({owner, Text(text), Text(title)});
}

Menu CreatePopup() {
    HMENU menu = CreatePopupMenu();
    if (menu) {
        std::lock_guard lock(mutex);
        ++record.menusCreated;
    }
    return menu;
}

// Flags are MF_ ones (greyed, disabled); a null text is a separator.
int AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    UINT kind =
        text ? MF_STRING | (static_cast<UINT>(flags) & (MF_GRAYED | MF_DISABLED)) : MF_SEPARATOR;
    BOOL done = position < 0 ? AppendMenuW(M(menu), kind, static_cast<UINT_PTR>(id), text)
                             : InsertMenuW(M(menu), static_cast<UINT>(position),
                                           kind | MF_BYPOSITION, static_cast<UINT_PTR>(id), text);
    return done ? 1 : 0;
}

void MenuPosition(Window* owner, int* x, int* y) {
    if (owner) {
        *owner = MainWindow();
    }
    if (x) {
        *x = 0;
    }
    if (y) {
        *y = 0;
    }
}

// The menu is read back item by item, as the user would see it, and the
// test's choice answered without showing it.
int TrackMenu(Menu menu, Window, int, int) {
    std::vector<MenuEntry> entries;
    int count = GetMenuItemCount(M(menu));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = static_cast<UINT>(std::size(text));
        if (!GetMenuItemInfoW(M(menu), static_cast<UINT>(i), TRUE, &info)) {
            continue;
        }
        MenuEntry entry;
        entry.id = info.wID;
        entry.separator = (info.fType & MFT_SEPARATOR) != 0;
        entry.greyed = (info.fState & MFS_GRAYED) != 0;
        entry.text = entry.separator ? L"" : text;
        entries.push_back(entry);
    }
    std::lock_guard lock(mutex);
    record.shownMenus.push_back(entries);
    for (const MenuEntry& entry : entries) {
        if (menuChoice != 0 && entry.id == static_cast<UINT>(menuChoice) && !entry.separator &&
            !entry.greyed) {
            return menuChoice;
        }
    }
    return 0;
}

void DestroyPopup(Menu menu) {
    if (DestroyMenu(M(menu))) {
        std::lock_guard lock(mutex);
        ++record.menusDestroyed;
    }
}

// -- localisation and resources of a module

unsigned RegisterMessage(const char* name) {
    return RegisterWindowMessageA(name ? name : "");
}

// No inflater is linked into this host: the resource is looked up and its
// gzip framing checked, and the text answered as absent. The plug-in must
// cope with an absent text anyway.
wchar_t* LoadResourceText(Instance module, int id) {
    ResourceTextCall call;
    call.module = module;
    call.id = id;
    HMODULE source = static_cast<HMODULE>(module);
    HRSRC found = source ? FindResourceW(source, MAKEINTRESOURCEW(id), L"KILNGZ") : nullptr;
    HGLOBAL loaded = found ? LoadResource(source, found) : nullptr;
    const auto* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(source, found) : 0;
    if (bytes && size >= 18) {
        call.found = true;
        call.gzipHeader = bytes[0] == 0x1F && bytes[1] == 0x8B && bytes[2] == 8;
        call.plainBytes = static_cast<uint32_t>(bytes[size - 4]) |
                          static_cast<uint32_t>(bytes[size - 3]) << 8 |
                          static_cast<uint32_t>(bytes[size - 2]) << 16 |
                          static_cast<uint32_t>(bytes[size - 1]) << 24;
    }
    std::lock_guard lock(mutex);
    record.resourceTexts.push_back(call);
    return nullptr;
}

void FreeResourceText(wchar_t* text) {
    std::free(text);
}
const wchar_t* AboutCredit() {
    return L"the Kiln Log developers";
}
const wchar_t* AboutYear() {
    return L"2026";
}

// LoadStringW with no buffer hands out the resource's own characters,
// unterminated; the copy kept here is what the plug-in gets.
const wchar_t* LoadModuleString(Instance module, int id) {
    if (!module) {
        return nullptr;
    }
    std::lock_guard lock(mutex);
    auto key = std::make_pair(module, id);
    auto cached = moduleStrings.find(key);
    if (cached != moduleStrings.end()) {
        return cached->second.c_str();
    }
    const wchar_t* characters = nullptr;
    int length = LoadStringW(static_cast<HINSTANCE>(module), static_cast<UINT>(id),
                             reinterpret_cast<LPWSTR>(&characters), 0);
    if (length <= 0 || !characters) {
        return nullptr;
    }
    return moduleStrings.emplace(key, std::wstring(characters, static_cast<size_t>(length)))
        .first->second.c_str();
}

DLGPROC AsDialogProc(DialogProc proc) {
    return reinterpret_cast<DLGPROC>(reinterpret_cast<void (*)()>(proc));
}

Window CreateModuleDialog(Instance module, int dialogId, Window parent, DialogProc proc,
                          intptr_t param) {
    return CreateDialogParamW(static_cast<HINSTANCE>(module), MAKEINTRESOURCEW(dialogId), H(parent),
                              AsDialogProc(proc), param);
}

// -- the window system: user32's

int PostMessageOp(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(H(window), message, wParam, lParam) ? 1 : 0;
}
uintptr_t SetTimerOp(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc) {
    return SetTimer(H(window), id, milliseconds,
                    reinterpret_cast<TIMERPROC>(reinterpret_cast<void (*)()>(proc)));
}
int KillTimerOp(Window window, uintptr_t id) {
    return KillTimer(H(window), id) ? 1 : 0;
}
int IsWindowOp(Window window) {
    return window && IsWindow(H(window)) ? 1 : 0;
}
int SetItemText(Window dialog, int controlId, const wchar_t* text) {
    return SetDlgItemTextW(H(dialog), controlId, text) ? 1 : 0;
}
int GetItemText(Window dialog, int controlId, wchar_t* out, int size) {
    if (out && size > 0) {
        out[0] = L'\0';
    }
    return static_cast<int>(GetDlgItemTextW(H(dialog), controlId, out, size));
}
int CheckItem(Window dialog, int controlId, int checked) {
    return CheckDlgButton(H(dialog), controlId, checked ? BST_CHECKED : BST_UNCHECKED) ? 1 : 0;
}
int IsItemChecked(Window dialog, int controlId) {
    return IsDlgButtonChecked(H(dialog), controlId) == BST_CHECKED ? 1 : 0;
}
intptr_t SendItemMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                         intptr_t lParam) {
    return SendDlgItemMessageW(H(dialog), controlId, message, wParam, lParam);
}
int EnableItem(Window dialog, int controlId, int enabled) {
    HWND item = GetDlgItem(H(dialog), controlId);
    if (item) {
        EnableWindow(item, enabled ? TRUE : FALSE);
    }
    return item ? 1 : 0;
}
int ShowItem(Window dialog, int controlId, int shown) {
    HWND item = GetDlgItem(H(dialog), controlId);
    if (item) {
        ShowWindow(item, shown ? SW_SHOWNA : SW_HIDE);
    }
    return item ? 1 : 0;
}
int MessageBoxOp(Window, const wchar_t* text, const wchar_t*, unsigned) {
    std::lock_guard lock(mutex);
    record.messageBoxes.push_back(Text(text));
    return messageBoxAnswer;
}

const HostServices* Table() {
    static const HostServices table = [] {
        HostServices t{};
        t.version = kHostServicesVersion;
        t.size = sizeof(HostServices);
        t.readIntSetting = &ReadIntSetting;
        t.readTextSetting = &ReadTextSetting;
        t.writeIntSetting = &WriteIntSetting;
        t.writeTextSetting = &WriteTextSetting;
        t.writeTemplateSetting = &WriteTextSetting;
        t.escapeText = &EscapeText;
        t.unescapeText = &UnescapeText;
        t.formatTitle = &FormatTitle;
        t.formatTitleForFile = &FormatTitleForFile;
        t.playbackStatus = &PlaybackStatus;
        t.playbackPositionMs = &PlaybackPositionMs;
        t.currentLengthSeconds = &CurrentLengthSeconds;
        t.currentFile = &CurrentFile;
        t.isStream = &IsStream;
        t.isStreamUtf8 = &IsStreamUtf8;
        t.getMetadata = &GetMetadata;
        t.releaseMetadata = &ReleaseMetadata;
        t.currentMetadataField = &CurrentMetadataField;
        t.artworkKindIsPlaying = &ArtworkKindIsPlaying;
        t.hasLocalLibrary = &HasLocalLibrary;
        t.libraryLookup = &LibraryLookup;
        t.pathEntry = &PathEntry;
        t.joinPath = &JoinPath;
        t.createPath = &CreatePath;
        t.normalisePath = &NormalisePath;
        t.fileExists = &FileExists;
        t.appendTextFile = &AppendTextFile;
        t.closeTextFile = &CloseTextFile;
        t.openForReading = &OpenForReading;
        t.atEndOfFile = &AtEndOfFile;
        t.readLine = &ReadLine;
        t.closeFile = &CloseFile;
        t.fileDigest = &FileDigest;
        t.textEqual = &TextEqual;
        t.textEqualUtf8 = &TextEqualUtf8;
        t.prefixEqualUtf8 = &PrefixEqualUtf8;
        t.int64ToText = &Int64ToText;
        t.textToInt = &TextToInt;
        t.md5Text = &Md5Text;
        t.randomIdentifier = &RandomIdentifier;
        t.nowSeconds = &NowSeconds;
        t.wideToNarrow = &WideToNarrow;
        t.narrowToWide = &NarrowToWide;
        t.wideToUtf8Buffer = &WideToUtf8Buffer;
        t.allocMemory = &AllocMemory;
        t.freeMemory = &FreeMemory;
        t.startThread = &StartThread;
        t.reapThread = &ReapThread;
        t.waitThread = &WaitThread;
        t.closeThread = &CloseThread;
        t.createWebHandle = &CreateWebHandle;
        t.buildWebRequest = &BuildWebRequest;
        t.setWebOptionLong = &SetWebOptionLong;
        t.setWebOptionPointer = &SetWebOptionPointer;
        t.setWebOptionOffset = &SetWebOptionOffset;
        t.performWebRequest = &PerformWebRequest;
        t.webResponseCode = &WebResponseCode;
        t.freeWebRequest = &FreeWebRequest;
        t.openUrl = &OpenUrl;
        t.webBaseAddress = &WebBaseAddress;
        t.webBaseAddressWide = &WebBaseAddressWide;
        t.addPrefsPage = &AddPrefsPage;
        t.removePrefsPage = &RemovePrefsPage;
        t.replacePageDialog = &ReplacePageDialog;
        t.refreshPage = &RefreshPage;
        t.setTabName = &SetTabName;
        t.finaliseTabs = &FinaliseTabs;
        t.openPreferences = &OpenPreferences;
        t.defaultPageHandling = &DefaultPageHandling;
        t.setLinkText = &SetLinkText;
        t.styleButton = &StyleButton;
        t.browseForFolder = &BrowseForFolder;
        t.showAboutBox = &ShowAboutBox;
        t.createPopupMenu = &CreatePopup;
        t.addMenuItem = &AddMenuItem;
        t.menuPosition = &MenuPosition;
        t.trackPopupMenu = &TrackMenu;
        t.destroyMenu = &DestroyPopup;
        t.registerMessage = &RegisterMessage;
        t.loadResourceText = &LoadResourceText;
        t.freeResourceText = &FreeResourceText;
        t.aboutCredit = &AboutCredit;
        t.aboutYear = &AboutYear;
        t.loadModuleString = &LoadModuleString;
        t.createModuleDialog = &CreateModuleDialog;
        t.postMessage = &PostMessageOp;
        t.setTimer = &SetTimerOp;
        t.killTimer = &KillTimerOp;
        t.isWindow = &IsWindowOp;
        t.setItemText = &SetItemText;
        t.getItemText = &GetItemText;
        t.checkItem = &CheckItem;
        t.isItemChecked = &IsItemChecked;
        t.sendItemMessage = &SendItemMessage;
        t.enableItem = &EnableItem;
        t.showItem = &ShowItem;
        t.messageBox = &MessageBoxOp;
        return t;
    }();
    return &table;
}

// Every message of the main window goes to the plug-in's hook, as a player
// forwards its main window's messages to its general plug-ins.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    PluginDescriptor* plugin = nullptr;
    {
        std::lock_guard lock(mutex);
        plugin = attached;
        if (message == kHostIpcMessage) {
            record.userMessages.push_back({message, wParam, lParam});
        }
    }
    if (plugin && plugin->messageHook) {
        plugin->messageHook(window, message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND MainWindow() {
    if (mainWindow) {
        return mainWindow;
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &MainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KilnSmokeHost";
    RegisterClassExW(&windowClass);
    // Message-only: no display is needed, and posted messages and timers still work.
    mainWindow = CreateWindowExW(0, L"KilnSmokeHost", L"Kiln smoke host", 0, 0, 0, 0, 0,
                                 HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    return mainWindow;
}

void AttachPlugin(PluginDescriptor* descriptor) {
    std::lock_guard lock(mutex);
    attached = descriptor;
}

void Reset() {
    std::lock_guard lock(mutex);
    record = Record{};
    settings.clear();
    moduleStrings.clear();
    menuChoice = 0;
    messageBoxAnswer = IDNO;
}

Record Snapshot() {
    std::lock_guard lock(mutex);
    return record;
}

ThreadCounts Threads() {
    std::lock_guard lock(mutex);
    return threadCounts;
}

void ChooseMenuItem(int id) {
    std::lock_guard lock(mutex);
    menuChoice = id;
}

void AnswerMessageBoxes(int answer) {
    std::lock_guard lock(mutex);
    messageBoxAnswer = answer;
}

void SetSetting(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
    WriteTextSetting(section.c_str(), key.c_str(), value.c_str());
}

std::optional<std::wstring> Setting(const std::wstring& section, const std::wstring& key) {
    return Lookup(section.c_str(), key.c_str());
}

bool HasSection(const std::wstring& section) {
    std::lock_guard lock(mutex);
    return settings.count(section) != 0;
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
    ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr,
                                    static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                                    QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
    }
}

const wchar_t* ProfileFolder() {
    std::lock_guard lock(mutex);
    if (profileFolder.empty()) {
        wchar_t temp[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, temp);
        std::wstring folder(temp, length);
        folder += L"kiln-smoke-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder.c_str(), nullptr);
        profileFolder = folder;
    }
    return profileFolder.c_str();
}

void RemoveProfileFolder() {
    std::lock_guard lock(mutex);
    if (!profileFolder.empty()) {
        std::error_code error;
        std::filesystem::remove_all(profileFolder, error);
        profileFolder.clear();
    }
}

}  // namespace kiln::winhost

extern "C" __declspec(dllexport) const kiln::HostServices* kiln_host_services(
    uint32_t requestedVersion) {
    return requestedVersion <= kiln::kHostServicesVersion ? kiln::winhost::Table() : nullptr;
}
