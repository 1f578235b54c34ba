#include "classic/classic_player.h"

#include <cstdio>

namespace kiln::classictest {
namespace {

// The player's side of the SDK, written from its headers: nothing of the
// plug-in's own definitions is used here.
struct GeneralPurposePlugin {
    int version;
    char* description;
    int (*init)();
    void (*config)();
    void (*quit)();
    HWND hwndParent;
    HINSTANCE hDllInstance;
};
struct PrefsDlgRec {  // the start of it: what the player reads
    HINSTANCE hInst;
    int dlgID;
    void* proc;
    void* name;
};
struct ExtendedFileInfoW {
    const wchar_t* filename;
    const wchar_t* metadata;
    wchar_t* ret;
    size_t retlen;
};

ClassicPlayer* current = nullptr;  // one player per test program at a time

// A decoder's thread announcing a new file while the player shuts down.
struct Noticer {
    HWND main;
    std::wstring file;
    HANDLE stop;
};
DWORD CALLBACK SendNotices(void* parameter) {
    auto* n = static_cast<Noticer*>(parameter);
    while (WaitForSingleObject(n->stop, 5) == WAIT_TIMEOUT) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(n->main, WM_USER, reinterpret_cast<WPARAM>(n->file.c_str()), 13003,
                            SMTO_NORMAL, 200, &answer);
        SendMessageTimeoutW(n->main, WM_USER, 2, 603, SMTO_NORMAL, 200, &answer);
    }
    return 0;
}

}  // namespace

// What a narrow player makes of a wide name: the ANSI code page's form.
std::string Ansi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

ClassicPlayer::ClassicPlayer(const std::wstring& iniFolder, Quirks quirks)
    : iniFolder_(Ansi(iniFolder)), quirks_(quirks) {
    current = this;
    WNDCLASSW type{};
    type.lpfnWndProc = &Procedure;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"KilnClassicPlayer";
    RegisterClassW(&type);  // fails harmlessly for the second player of a run
    main_ = CreateWindowExW(0, L"KilnClassicPlayer", L"Classic player", WS_OVERLAPPEDWINDOW, 0, 0,
                            400, 300, nullptr, nullptr, type.hInstance, nullptr);
}

ClassicPlayer::~ClassicPlayer() {
    Unload();
    DestroyWindow(main_);
    current = nullptr;
}

bool ClassicPlayer::Load(const std::wstring& dll) {
    module_ = LoadLibraryW(dll.c_str());
    auto getter = reinterpret_cast<GeneralPurposePlugin* (*)()>(
        module_ ? reinterpret_cast<void*>(GetProcAddress(module_, "winampGetGeneralPurposePlugin"))
                : nullptr);
    auto* plugin = getter ? getter() : nullptr;
    if (!plugin) {
        std::fprintf(stderr, "classic player: cannot load the plug-in (module %p, error %lu)\n",
                     static_cast<void*>(module_), GetLastError());
        return false;
    }
    descriptor_ = plugin;
    version_ = plugin->version;
    description_ = plugin->description ? plugin->description : "";
    plugin->hwndParent = main_;
    plugin->hDllInstance = module_;
    return plugin->init() == 0;
}

ULONGLONG ClassicPlayer::Unload(bool noticesDuringQuit) {
    if (!module_) {
        return 0;
    }
    DestroyWindow(prefs_);  // the page with it
    prefs_ = pageWindow_ = nullptr;
    Noticer noticer{main_, playlist_.empty() ? L"" : playlist_.front().file,
                    CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread =
        noticesDuringQuit ? CreateThread(nullptr, 0, &SendNotices, &noticer, 0, nullptr) : nullptr;
    if (thread) {
        Sleep(20);
        status_ = 1;  // the notices say so
    }
    const ULONGLONG started = GetTickCount64();
    quitting_ = true;
    if (descriptor_) {
        static_cast<GeneralPurposePlugin*>(descriptor_)->quit();
    }
    quitting_ = false;
    const ULONGLONG took = GetTickCount64() - started;
    if (thread) {
        SetEvent(noticer.stop);
        // Its last notice may wait for this thread's answer.
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) !=
               WAIT_OBJECT_0) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        CloseHandle(thread);
        status_ = 0;
    }
    CloseHandle(noticer.stop);
    FreeLibrary(module_);
    module_ = nullptr;
    descriptor_ = nullptr;
    return took;
}

void ClassicPlayer::Config() {
    if (descriptor_) {
        static_cast<GeneralPurposePlugin*>(descriptor_)->config();
    }
}

int ClassicPlayer::Uninstall() {
    auto uninstall = reinterpret_cast<int (*)(HINSTANCE, HWND, int)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "winampUninstallPlugin")));
    return uninstall ? uninstall(module_, prefs_ ? prefs_ : main_, 0) : -1;
}

WNDPROC ClassicPlayer::OwnProcedure() const {
    return &Procedure;
}

LRESULT ClassicPlayer::Notify(WPARAM wParam, LPARAM code) {
    return SendMessageW(main_, WM_USER, wParam, code);
}

void ClassicPlayer::Play(size_t index) {
    if (index >= playlist_.size()) {
        Stop();
        return;
    }
    position_ = index;
    playing_ = playlist_[index].file;
    status_ = 1;
    startedAt_ = GetTickCount64();
    Notify(reinterpret_cast<WPARAM>(playing_.c_str()), 13003);
    Notify(2, 603);
}

void ClassicPlayer::SetStatus(int status) {
    const ULONGLONG now = GetTickCount64();
    if (status == 3) {
        pausedAt_ = now;
    } else if (status_ == 3 && status == 1) {
        startedAt_ += now - pausedAt_;
    }
    status_ = status;
    Notify(2, 603);
}

int ClassicPlayer::PositionMs() const {
    if (status_ == 0) {
        return -1;
    }
    ULONGLONG end = status_ == 3 ? pausedAt_ : GetTickCount64();
    return static_cast<int>(end - startedAt_);
}

void ClassicPlayer::Pump(DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!prefs_ || !IsDialogMessageW(pageWindow_, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
}

void ClassicPlayer::ShowPage(const void* record) {
    const ClassicPage* page = nullptr;
    for (const ClassicPage& p : pages_) {
        page = p.record == record ? &p : page;
    }
    if (!page && !pages_.empty()) {
        page = &pages_.front();  // an unknown record opens the first page
    }
    if (!page) {
        return;
    }
    if (!prefs_) {
        prefs_ = CreateWindowExW(0, L"KilnClassicPlayer", L"Preferences", WS_OVERLAPPEDWINDOW, 0, 0,
                                 640, 480, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    if (pageWindow_) {
        DestroyWindow(pageWindow_);
    }
    pageWindow_ =
        CreateDialogParamW(page->instance, MAKEINTRESOURCEW(page->dialogId), prefs_, page->proc, 0);
}

HWND ClassicPlayer::OpenPreferences(size_t page) {
    Notify(page < pages_.size() ? reinterpret_cast<WPARAM>(pages_[page].record) : WPARAM(-1), 380);
    return pageWindow_;
}

LRESULT ClassicPlayer::Ipc(WPARAM wParam, LPARAM code) {
    if (code == 13003 || code == 603 || code == 243) {
        noticesInQuit_ += quitting_ ? 1 : 0;
        return 0;  // notices, back at the end of the chain
    }
    ++asked_;
    const Item* item =
        status_ != 0 && position_ < playlist_.size() ? &playlist_[position_] : nullptr;
    // A number where a pointer belongs: a small one, or an address of
    // reserved memory nothing is committed at.
    static void* const reserved = VirtualAlloc(nullptr, 1 << 16, MEM_RESERVE, PAGE_NOACCESS);
    const LRESULT garbage = code % 2 ? 0x1234 : reinterpret_cast<LRESULT>(reserved);
    switch (code) {
        case 0:
            return quirks_.version;
        case 104:
            return status_;
        case 105:
            if (wParam == 0) {
                return PositionMs();
            }
            return item ? (wParam == 1 ? item->lengthMs / 1000 : item->lengthMs) : -1;
        case 125:
            return static_cast<LRESULT>(position_);
        case 214:
            return wParam < playlist_.size()
                       ? reinterpret_cast<LRESULT>(playlist_[wParam].file.c_str())
                       : 0;
        case 3031:
            return quirks_.garbage ? garbage
                   : item          ? reinterpret_cast<LRESULT>(playing_.c_str())
                                   : 0;
        case 3034:
            return quirks_.garbage ? garbage
                   : item          ? reinterpret_cast<LRESULT>(item->title.c_str())
                                   : 0;
        case 3026: {
            if (quirks_.garbage) {
                return garbage;
            }
            // The title of an entry that has one of its own (streams); every
            // field with `metadata`.
            auto* query = reinterpret_cast<ExtendedFileInfoW*>(wParam);
            const std::wstring field = query->metadata;
            for (const Item& entry : playlist_) {
                std::wstring value = field == L"title"    ? entry.title
                                     : !quirks_.metadata  ? L""
                                     : field == L"artist" ? entry.artist
                                     : field == L"length" ? std::to_wstring(entry.lengthMs)
                                     : field == L"album"  ? L"Player Sessions"
                                                          : L"";
                if (entry.file == query->filename && !value.empty() &&
                    query->retlen > value.size()) {
                    wcscpy(query->ret, value.c_str());
                    return 1;
                }
            }
            return 0;
        }
        case 242:
            return quirks_.offline ? 0 : 1;
        case 335:
            return quirks_.garbage ? garbage : reinterpret_cast<LRESULT>(iniFolder_.c_str());
        case 365:
            return quirks_.garbage ? garbage : reinterpret_cast<LRESULT>(main_);
        case 1332:
        case 332: {
            if (code == 1332 && (quirks_.noWidePages || quirks_.version < 0x5053)) {
                unknown_.insert(code);
                return 1;
            }
            // The narrow record's name is copied at once, as the player does.
            auto* record = reinterpret_cast<PrefsDlgRec*>(wParam);
            std::wstring name;
            if (code == 332) {
                const char* narrow = static_cast<const char*>(record->name);
                int n = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
                name.assign(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
                MultiByteToWideChar(CP_ACP, 0, narrow, -1, name.data(), n);
                name.resize(name.size() - 1);
            } else {
                name = static_cast<const wchar_t*>(record->name);
            }
            pages_.push_back({record->hInst, record->dlgID, reinterpret_cast<DLGPROC>(record->proc),
                              name, record});
            return 0;
        }
        case 333:
            for (size_t i = 0; i < pages_.size(); ++i) {
                if (pages_[i].record == reinterpret_cast<const void*>(wParam)) {
                    pages_.erase(pages_.begin() + static_cast<ptrdiff_t>(i));
                    break;
                }
            }
            return 0;
        case 380:
            ShowPage(reinterpret_cast<const void*>(wParam));
            return 0;
        case 619:
            return quirks_.garbage ? garbage : reinterpret_cast<LRESULT>(prefs_);
        case 65536: {
            if (quirks_.noRegisteredMessages) {
                unknown_.insert(code);
                return quirks_.garbage ? garbage : 1;
            }
            std::string name = reinterpret_cast<const char*>(wParam);
            auto found = registered_.find(name);
            if (found == registered_.end()) {
                found = registered_.emplace(name, 65537 + static_cast<LPARAM>(registered_.size()))
                            .first;
            }
            return found->second;
        }
        default:
            // The SDK's answer to a code the player does not know.
            unknown_.insert(code);
            return quirks_.garbage ? garbage : 1;
    }
}

LRESULT CALLBACK ClassicPlayer::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER && current && window == current->main_) {
        return current->Ipc(wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kiln::classictest
