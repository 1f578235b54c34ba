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

}  // namespace

ClassicPlayer::ClassicPlayer(std::string iniFolder) : iniFolder_(std::move(iniFolder)) {
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

void ClassicPlayer::Unload() {
    if (!module_) {
        return;
    }
    DestroyWindow(prefs_);  // the page with it
    prefs_ = pageWindow_ = nullptr;
    if (descriptor_) {
        static_cast<GeneralPurposePlugin*>(descriptor_)->quit();
    }
    FreeLibrary(module_);
    module_ = nullptr;
    descriptor_ = nullptr;
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
    const Item* item =
        status_ != 0 && position_ < playlist_.size() ? &playlist_[position_] : nullptr;
    switch (code) {
        case 0:
            return 0x5066;
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
            return item ? reinterpret_cast<LRESULT>(playing_.c_str()) : 0;
        case 3034:
            return item ? reinterpret_cast<LRESULT>(item->title.c_str()) : 0;
        case 3026: {
            // Only the title, and only for an entry that has one of its own (streams).
            auto* query = reinterpret_cast<ExtendedFileInfoW*>(wParam);
            for (const Item& entry : playlist_) {
                if (entry.file == query->filename && !entry.title.empty() &&
                    std::wstring(query->metadata) == L"title" &&
                    query->retlen > entry.title.size()) {
                    wcscpy(query->ret, entry.title.c_str());
                    return 1;
                }
            }
            return 0;
        }
        case 242:
            return 1;
        case 335:
            return reinterpret_cast<LRESULT>(iniFolder_.c_str());
        case 365:
            return reinterpret_cast<LRESULT>(main_);
        case 1332: {  // the wide form, as the version above offers it
            auto* record = reinterpret_cast<PrefsDlgRec*>(wParam);
            pages_.push_back({record->hInst, record->dlgID, reinterpret_cast<DLGPROC>(record->proc),
                              static_cast<const wchar_t*>(record->name), record});
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
            return reinterpret_cast<LRESULT>(prefs_);
        case 65536: {
            std::string name = reinterpret_cast<const char*>(wParam);
            auto found = registered_.find(name);
            if (found == registered_.end()) {
                found = registered_.emplace(name, 65537 + static_cast<LPARAM>(registered_.size()))
                            .first;
            }
            return found->second;
        }
        default:
            return 0;
    }
}

LRESULT CALLBACK ClassicPlayer::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER && current && window == current->main_) {
        return current->Ipc(wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kiln::classictest
