#include "tests/win/win_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <set>
#include <type_traits>
#include <utility>

namespace kiln::winhost {
namespace {

constexpr UINT kHostIpcMessage = 0x0400;
constexpr intptr_t kFirstPage = 0x4B00;

std::atomic<PluginDescriptor*> attached = nullptr;
HWND mainWindow = nullptr;
std::mutex mutex;  // guards everything below that threads may reach
State state;
std::vector<std::wstring> log;
std::map<std::wstring, std::map<std::wstring, std::wstring>> settings;
std::map<std::pair<Instance, int>, std::wstring> moduleStrings;
std::set<HANDLE> threadHandles;
intptr_t pagesAdded = 0;
int menuChoice = 0;
std::vector<PrefsTab> tabbedTabs;
CreateDialogProc tabbedCreate = nullptr;
std::vector<PrefsTab> singlePages;

HMENU M(Menu m) {
    return static_cast<HMENU>(m);
}
std::wstring N(intptr_t value) {
    return std::to_wstring(value);
}
std::wstring PageName(intptr_t id) {
    return L"p" + N(id - kFirstPage);
}
template <typename F>
bool CodeInPlugin(F code) {
    return InPlugin(reinterpret_cast<const void*>(code));
}

void Log(std::wstring line) {
    std::lock_guard lock(mutex);
    log.push_back(std::move(line));
}

int CopyOut(const std::wstring& text, wchar_t* out, int size) {
    size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    std::wmemcpy(out, text.data(), count);
    out[count] = L'\0';
    return static_cast<int>(count);
}

// Every member the smoke test has no use for fails alike: a zero, null or
// empty result, every text buffer terminated and every out-value cleared, so
// the plug-in never reads what the host did not write.
template <typename T>
void ClearOut([[maybe_unused]] T argument) {
    using Pointee = std::remove_pointer_t<T>;
    if constexpr (std::is_pointer_v<T> && !std::is_const_v<Pointee> &&
                  (std::is_arithmetic_v<Pointee> || std::is_pointer_v<Pointee>)) {
        if (argument) {
            *argument = {};
        }
    }
}

template <typename F>
struct Fails;
template <typename R, typename... A>
struct Fails<R (*)(A...)> {
    static R Call(A... arguments) {
        (ClearOut(arguments), ...);
        if constexpr (std::is_same_v<R, const char*>) {
            return "";
        } else if constexpr (std::is_same_v<R, const wchar_t*>) {
            return L"";
        } else {
            return R();
        }
    }
};

template <typename... Members>
void Fail(HostServices& table, Members... members) {
    ((table.*members = &Fails<std::remove_reference_t<decltype(table.*members)>>::Call), ...);
}

// -- settings, in memory

std::optional<std::wstring> Lookup(const wchar_t* section, const wchar_t* key) {
    std::lock_guard lock(mutex);
    auto s = settings.find(section);
    if (s == settings.end() || s->second.count(key) == 0) {
        return std::nullopt;
    }
    return s->second[key];
}

int WriteTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    std::lock_guard lock(mutex);
    if (!key) {
        settings.erase(section);
    } else if (!value) {
        settings[section].erase(key);
    } else {
        settings[section][key] = value;
    }
    return 1;
}

// -- threads: real ones, counted so the test can see what outlives quit

using ThreadStart = std::pair<ThreadRoutine, void*>;

DWORD WINAPI ThreadMain(LPVOID parameter) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    unsigned code = start.first(start.second);
    std::lock_guard lock(mutex);
    --state.threadsRunning;
    return code;
}

// Whether the host holds `handle` (counting a stray use when not); `release`
// gives it up.
bool Held(HANDLE handle, bool release) {
    std::lock_guard lock(mutex);
    if (handle && threadHandles.count(handle) == 0) {
        ++state.strayHandleUses;
        return false;
    }
    if (release) {
        threadHandles.erase(handle);
    }
    return handle != nullptr;
}

ThreadHandle StartThread(ThreadRoutine routine, void* argument, int) {
    auto* start = new ThreadStart(routine, argument);
    std::lock_guard lock(mutex);  // counted before the routine can run and end
    HANDLE handle = CreateThread(nullptr, 0, &ThreadMain, start, 0, nullptr);
    if (!handle) {
        delete start;
        return nullptr;
    }
    threadHandles.insert(handle);
    ++state.threadsStarted;
    ++state.threadsRunning;
    return handle;
}

int ReapThread(ThreadHandle* handle) {
    if (!Held(*handle, false) || WaitForSingleObject(*handle, 0) != WAIT_OBJECT_0) {
        return 0;
    }
    Held(*handle, true);
    CloseHandle(*handle);
    *handle = nullptr;
    return 1;
}

int WaitThread(ThreadHandle handle, int timeoutMs, int alertable) {
    if (!Held(handle, false)) {
        return 1;
    }
    // A completion routine ran during an alertable wait: the wait goes on.
    DWORD result;
    do {
        result = WaitForSingleObjectEx(
            handle, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), alertable);
    } while (result == WAIT_IO_COMPLETION);
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

// -- pages, menus and boxes: logged, never shown

intptr_t AddPrefsPage(Instance instance, int flags, const wchar_t* name, const PrefsTab* tabs,
                      int tabCount, int parent, PagePositionProc position, CreateDialogProc create,
                      int visible, LocalisationService* localisation, int group, int pageCode) {
    bool own = instance == GetModuleHandleW(L"gen_kiln.dll") && CodeInPlugin(position) &&
               (!create || CodeInPlugin(create));
    std::wstring line = L"page " + N(pageCode) + L" flags " + N(flags) + L" '" + name +
                        L"' parent " + N(parent) + L" visible " + N(visible) + L" group " +
                        N(group) + L" tabs";
    for (int i = 0; i < tabCount; ++i) {
        line += L" " + N(tabs[i].dialogId);
        own = own && CodeInPlugin(tabs[i].proc);
    }
    line += std::wstring(create ? L" create" : L"") + (localisation ? L" localised" : L"") +
            (own ? L"" : L" foreign");
    Log(line);
    std::lock_guard lock(mutex);
    if (pagesAdded == 0) {
        state.position = position;
    }
    if (tabCount == 1) {
        singlePages.push_back(tabs[0]);
    }
    if (tabCount > 1 && tabbedTabs.empty()) {
        tabbedTabs.assign(tabs, tabs + tabCount);
        tabbedCreate = create;
    }
    return kFirstPage + pagesAdded++;
}

int AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    // Flags are MF_ ones; a null text is a separator.
    UINT kind =
        text ? MF_STRING | (static_cast<UINT>(flags) & (MF_GRAYED | MF_DISABLED)) : MF_SEPARATOR;
    BOOL done = position < 0 ? AppendMenuW(M(menu), kind, static_cast<UINT_PTR>(id), text)
                             : InsertMenuW(M(menu), static_cast<UINT>(position),
                                           kind | MF_BYPOSITION, static_cast<UINT_PTR>(id), text);
    return done ? 1 : 0;
}

// The menu is read back item by item, as the user would see it, and the
// test's choice answered without showing it.
int TrackMenu(Menu menu, Window, int, int) {
    std::wstring line = L"menu";
    int answer = 0;
    for (int i = 0; i < GetMenuItemCount(M(menu)); ++i) {
        wchar_t text[256] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 256;
        GetMenuItemInfoW(M(menu), static_cast<UINT>(i), TRUE, &info);
        if (info.fType & MFT_SEPARATOR) {
            line += L" -";
            continue;
        }
        bool greyed = (info.fState & MFS_GRAYED) != 0;
        line += L" [" + N(info.wID) + L" '" + text + (greyed ? L"' greyed]" : L"']");
        if (!greyed && menuChoice != 0 && info.wID == static_cast<UINT>(menuChoice)) {
            answer = menuChoice;
        }
    }
    Log(line);
    return answer;
}

// No inflater is linked into this host: the resource is looked up, its gzip
// framing checked, and the text answered as absent, which the plug-in must
// cope with anyway.
wchar_t* LoadResourceText(Instance module, int id) {
    auto source = static_cast<HMODULE>(module);
    HRSRC found = FindResourceW(source, MAKEINTRESOURCEW(id), L"KILNGZ");
    HGLOBAL loaded = found ? LoadResource(source, found) : nullptr;
    const auto* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(source, found) : 0;
    // The gzip trailer ends with the plain size: UTF-16 with a byte-order
    // mark is an even count of more than the mark alone.
    uint32_t plain = 0;
    if (bytes && size >= 18) {
        std::memcpy(&plain, bytes + size - 4, 4);
    }
    bool good = bytes && size >= 18 && bytes[0] == 0x1F && bytes[1] == 0x8B && bytes[2] == 8 &&
                plain > 2 && plain % 2 == 0;
    Log(L"text " + N(id) + (good ? L" gzip utf16" : L" missing or malformed") +
        (source == GetModuleHandleW(L"gen_kiln.dll") ? L"" : L" foreign"));
    return nullptr;
}

// LoadStringW with no buffer hands out the resource's own characters,
// unterminated; the copy kept here is what the plug-in gets.
const wchar_t* LoadModuleString(Instance module, int id) {
    const wchar_t* characters = nullptr;
    int length = LoadStringW(static_cast<HINSTANCE>(module), static_cast<UINT>(id),
                             reinterpret_cast<LPWSTR>(&characters), 0);
    if (length <= 0) {
        return nullptr;
    }
    std::lock_guard lock(mutex);
    auto entry = moduleStrings.try_emplace({module, id}, characters, static_cast<size_t>(length));
    return entry.first->second.c_str();
}

// The plug-in's dialog routines have the table's convention, which on x86 is
// not the one user32 calls with: user32 calls this one, which calls theirs.
struct DialogStart {
    DialogProc proc;
    intptr_t param;
};

INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const DialogStart start = *reinterpret_cast<DialogStart*>(lParam);
        SetPropW(dialog, L"kiln.dialog", reinterpret_cast<HANDLE>(start.proc));
        return start.proc(dialog, message, wParam, start.param);
    }
    auto proc = reinterpret_cast<DialogProc>(GetPropW(dialog, L"kiln.dialog"));
    if (message == WM_NCDESTROY) {
        RemovePropW(dialog, L"kiln.dialog");
    }
    return proc ? proc(dialog, message, wParam, lParam) : FALSE;
}

// The link control's text is a format with the address as its %s.
int SetLinkText(Window page, int controlId, const wchar_t* address) {
    wchar_t format[1024] = L"";
    GetDlgItemTextW(static_cast<HWND>(page), controlId, format, 1024);
    std::wstring text;
    for (const wchar_t* c = format; *c; ++c) {
        if (c[0] == L'%' && (c[1] == L'%' || c[1] == L's')) {
            text += *++c == L's' ? std::wstring(address) : L"%";
        } else {
            text += *c;
        }
    }
    return SetDlgItemTextW(static_cast<HWND>(page), controlId, text.c_str()) ? 1 : 0;
}

// Enough of title formatting for previews: %artist% is the one field, its
// value URL-escaped in mode 1.
int FormatTitle(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                int outSize, int mode, const void*) {
    CopyOut(L"C:\\music\\track.mp3", location, locationSize);
    std::wstring text = format;
    const std::wstring artist = mode == 1 ? L"Wine%20Artist" : L"Wine Artist";
    for (size_t at; (at = text.find(L"%artist%")) != std::wstring::npos;) {
        text.replace(at, 8, artist);
    }
    return CopyOut(text, out, outSize);
}

const HostServices* Table() {
    static const HostServices table = [] {
        using H = HostServices;
        HostServices t{};
        t.version = kHostServicesVersion;
        t.size = sizeof(HostServices);
        t.readIntSetting = [](const wchar_t* section, const wchar_t* key, int defaultValue) {
            auto value = Lookup(section, key);
            return value && !value->empty()
                       ? static_cast<int>(std::wcstol(value->c_str(), nullptr, 10))
                       : defaultValue;
        };
        t.readTextSetting = [](const wchar_t* section, const wchar_t* key,
                               const wchar_t* defaultValue, wchar_t* buffer, int size) {
            return CopyOut(Lookup(section, key).value_or(defaultValue), buffer, size);
        };
        t.writeIntSetting = [](const wchar_t* section, const wchar_t* key, int value) {
            return WriteTextSetting(section, key, std::to_wstring(value).c_str());
        };
        t.writeTextSetting = &WriteTextSetting;
        t.writeTemplateSetting = &WriteTextSetting;
        t.allocMemory = [](size_t bytes) { return std::calloc(bytes ? bytes : 1, 1); };
        t.freeMemory = [](void* block) { std::free(block); };
        t.pathEntry = [](int index) -> const wchar_t* {
            // Never created: nothing of the plug-in's start-up writes files.
            return index == 2 || index == 40 ? L"C:\\kiln-smoke-profile" : nullptr;
        };
        t.joinPath = [](wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name) {
            CopyOut(std::wstring(folder) + L"\\" + name, dest, destSize);
            return dest;
        };
        t.normalisePath = [](wchar_t*, int) {};  // left as it is
        t.startThread = &StartThread;
        t.reapThread = &ReapThread;
        t.waitThread = &WaitThread;
        t.closeThread = [](ThreadHandle handle) {
            if (Held(handle, true)) {
                CloseHandle(handle);
            }
        };
        t.addPrefsPage = &AddPrefsPage;
        t.removePrefsPage = [](intptr_t page) { Log(L"remove " + PageName(page)); };
        t.setTabName = [](intptr_t page, int index, const wchar_t* name) {
            Log(L"tab " + PageName(page) + L" " + N(index) + L" '" + name + L"'");
        };
        t.finaliseTabs = [](intptr_t page, int flags) {
            Log(L"finalise " + PageName(page) + L" " + N(flags));
        };
        t.openPreferences = [](intptr_t page, int flags) {
            Log(L"open " + PageName(page) + L" " + N(flags));
        };
        t.showAboutBox = [](Window owner, const wchar_t*, const wchar_t* title) {
            Log(std::wstring(L"about ") + (owner == mainWindow ? L"main" : L"other") + L" '" +
                title + L"'");
        };
        t.createPopupMenu = []() -> Menu {
            HMENU menu = CreatePopupMenu();
            std::lock_guard lock(mutex);
            state.openMenus += menu ? 1 : 0;
            return menu;
        };
        t.addMenuItem = &AddMenuItem;
        t.menuPosition = [](Window* owner, int* x, int* y) {
            *owner = mainWindow;
            *x = *y = 0;
        };
        t.trackPopupMenu = &TrackMenu;
        t.destroyMenu = [](Menu menu) {
            if (DestroyMenu(M(menu))) {
                std::lock_guard lock(mutex);
                --state.openMenus;
            }
        };
        t.registerMessage = [](const char* name) { return RegisterWindowMessageA(name); };
        t.loadResourceText = &LoadResourceText;
        t.loadModuleString = &LoadModuleString;
        t.createModuleDialog = [](Instance module, int dialogId, Window parent, DialogProc proc,
                                  intptr_t param) -> Window {
            DialogStart start{proc, param};
            return CreateDialogParamW(static_cast<HINSTANCE>(module), MAKEINTRESOURCEW(dialogId),
                                      static_cast<HWND>(parent), &DialogThunk,
                                      reinterpret_cast<LPARAM>(&start));
        };
        t.setLinkText = &SetLinkText;
        t.formatTitle = &FormatTitle;
        t.webBaseAddressWide = []() { return L"https://orbit.example/"; };
        Fail(t, &H::escapeText, &H::unescapeText, &H::nowSeconds, &H::wideToNarrow,
             &H::formatTitleForFile, &H::playbackStatus, &H::playbackPositionMs,
             &H::currentLengthSeconds, &H::currentFile, &H::isStream, &H::isStreamUtf8,
             &H::getMetadata, &H::releaseMetadata, &H::currentMetadataField,
             &H::artworkKindIsPlaying, &H::hasLocalLibrary, &H::libraryLookup, &H::createPath,
             &H::fileExists, &H::appendTextFile, &H::closeTextFile, &H::openForReading,
             &H::atEndOfFile, &H::readLine, &H::closeFile, &H::fileDigest, &H::textEqual,
             &H::textEqualUtf8, &H::prefixEqualUtf8, &H::int64ToText, &H::textToInt, &H::md5Text,
             &H::randomIdentifier, &H::narrowToWide, &H::wideToUtf8Buffer, &H::createWebHandle,
             &H::buildWebRequest, &H::setWebOptionLong, &H::setWebOptionPointer,
             &H::setWebOptionOffset, &H::performWebRequest, &H::webResponseCode, &H::freeWebRequest,
             &H::openUrl, &H::webBaseAddress, &H::replacePageDialog, &H::refreshPage,
             &H::defaultPageHandling, &H::styleButton, &H::browseForFolder, &H::freeResourceText,
             &H::aboutCredit, &H::aboutYear, &H::postMessage, &H::setTimer, &H::killTimer,
             &H::isWindow, &H::setItemText, &H::getItemText, &H::checkItem, &H::isItemChecked,
             &H::sendItemMessage, &H::enableItem, &H::showItem, &H::messageBox);
        return t;
    }();
    return &table;
}

// Every message of the main window goes to the plug-in's hook, as a player
// forwards its main window's messages to its general plug-ins.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kHostIpcMessage) {
        Log(L"message 1024 " + N(static_cast<intptr_t>(wParam)) + L" " + N(lParam));
    }
    PluginDescriptor* plugin = attached;
    if (plugin && plugin->messageHook) {
        plugin->messageHook(window, message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND NewWindow(const wchar_t* name, WNDPROC procedure, DWORD style, HWND parent) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = name;
    RegisterClassExW(&windowClass);
    return CreateWindowExW(0, name, name, style, 0, 0, 640, 480, parent, nullptr,
                           windowClass.hInstance, nullptr);
}

HWND MainWindow() {
    // Message-only: no display is needed, and posted messages and timers still work.
    if (!mainWindow) {
        mainWindow = NewWindow(L"KilnSmokeHost", &MainWindowProc, 0, HWND_MESSAGE);
    }
    return mainWindow;
}

void AttachPlugin(PluginDescriptor* descriptor) {
    attached = descriptor;
}

void Reset() {
    std::lock_guard lock(mutex);
    state = State{};
    log.clear();
    settings.clear();
    moduleStrings.clear();
    pagesAdded = 0;
    menuChoice = 0;
    tabbedTabs.clear();
    tabbedCreate = nullptr;
    singlePages.clear();
}

State Snapshot() {
    std::lock_guard lock(mutex);
    State now = state;
    now.threadHandlesOpen = static_cast<int>(threadHandles.size());
    return now;
}

std::vector<std::wstring> TakeLog() {
    std::lock_guard lock(mutex);
    return std::exchange(log, {});
}

void ChooseMenuItem(int id) {
    std::lock_guard lock(mutex);
    menuChoice = id;
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
    for (ULONGLONG deadline = GetTickCount64() + limitMs;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        if (done() || GetTickCount64() >= deadline) {
            return done();
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_ALERTABLE);
    }
}

std::vector<std::wstring> PumpForLog(size_t lines, DWORD limitMs) {
    PumpUntil(
        [lines] {
            std::lock_guard lock(mutex);
            return log.size() >= lines;
        },
        limitMs);
    return TakeLog();
}

HWND PreferencesWindow() {
    static HWND preferences =
        NewWindow(L"KilnPreferences", &DefWindowProcW, WS_OVERLAPPEDWINDOW, nullptr);
    return preferences;
}

HWND OpenTab(int index) {
    HWND preferences = PreferencesWindow();
    std::unique_lock lock(mutex);
    if (index < 0 || static_cast<size_t>(index) >= tabbedTabs.size() || !tabbedCreate) {
        return nullptr;
    }
    const PrefsTab tab = tabbedTabs[static_cast<size_t>(index)];
    CreateDialogProc create = tabbedCreate;
    lock.unlock();
    return static_cast<HWND>(create(tab.dialogId, preferences, tab.proc, 0));
}

HWND OpenPage(int dialogId) {
    HWND preferences = PreferencesWindow();
    std::unique_lock lock(mutex);
    for (const PrefsTab& page : singlePages) {
        if (page.dialogId == dialogId) {
            lock.unlock();
            DialogStart start{page.proc, 0};
            return CreateDialogParamW(GetModuleHandleW(L"gen_kiln.dll"), MAKEINTRESOURCEW(dialogId),
                                      preferences, &DialogThunk, reinterpret_cast<LPARAM>(&start));
        }
    }
    return nullptr;
}

bool InPlugin(const void* address) {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module) &&
           module == GetModuleHandleW(L"gen_kiln.dll");
}

}  // namespace kiln::winhost

extern "C" __declspec(dllexport) const kiln::HostServices* kiln_host_services(
    uint32_t requestedVersion) {
    return requestedVersion <= kiln::kHostServicesVersion ? kiln::winhost::Table() : nullptr;
}
