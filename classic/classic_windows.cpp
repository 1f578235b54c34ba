// The user-interface operations of the table in a classic player: dialogs
// from the DLL's resources, preference pages registered with the player,
// a tabbed container page of our own, menus and boxes.
//
// The plug-in's dialog routines have the table's convention, which on x86 is
// not the one Windows calls with; every procedure Windows calls here is a
// CALLBACK one that calls the plug-in's routine in turn.
#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <commdlg.h>

#include <array>
#include <map>
#include <string>

#include "classic/classic_internal.h"
#include "classic/classic_resources.h"
#include "core/thread_annotations.h"
#include "platform/folder_dialog.h"
#include "platform/window.h"

namespace kiln::classic {
namespace {

constexpr const wchar_t* kProcProperty = L"kiln.dialog";

// -- dialogs of the DLL's resources

struct DialogStart {
    DialogProc proc;
    intptr_t param;
};

INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* start = reinterpret_cast<DialogStart*>(lParam);
        SetPropW(dialog, kProcProperty, reinterpret_cast<HANDLE>(start->proc));
        DialogProc proc = start->proc;
        intptr_t param = start->param;
        delete start;
        return proc(dialog, message, wParam, param);
    }
    auto proc = reinterpret_cast<DialogProc>(GetPropW(dialog, kProcProperty));
    if (message == WM_NCDESTROY) {
        RemovePropW(dialog, kProcProperty);
    }
    return proc ? proc(dialog, message, wParam, lParam) : FALSE;
}

Window CreateModuleDialog(Instance module, int dialogId, Window parent, DialogProc proc,
                          intptr_t param) {
    if (!module || !proc) {
        return nullptr;
    }
    auto* start = new DialogStart{proc, param};
    HWND made = CreateDialogParamW(static_cast<HINSTANCE>(module), MAKEINTRESOURCEW(dialogId),
                                   static_cast<HWND>(parent), &DialogThunk,
                                   reinterpret_cast<LPARAM>(start));
    if (!made) {
        delete start;  // WM_INITDIALOG never came
    }
    return made;
}

const wchar_t* LoadModuleString(Instance module, int id) {
    // LoadString hands out the resource's own unterminated text; terminated
    // copies are kept for as long as the module is loaded.
    static Mutex lock;
    static std::map<std::pair<Instance, int>, std::wstring> strings GUARDED_BY(lock);
    if (!module) {
        return nullptr;
    }
    MutexLock guard(lock);
    auto found = strings.find({module, id});
    if (found == strings.end()) {
        const wchar_t* text = nullptr;
        int n = LoadStringW(static_cast<HINSTANCE>(module), static_cast<UINT>(id),
                            reinterpret_cast<LPWSTR>(&text), 0);
        if (n <= 0) {
            return nullptr;
        }
        found =
            strings.emplace(std::make_pair(module, id), std::wstring(text, static_cast<size_t>(n)))
                .first;
    }
    return found->second.c_str();
}

// -- preference pages

// The player's page record: heap-held, never on the stack.
struct PrefsRecord {
    HINSTANCE instance;
    int dialogId;
    void* proc;
    const wchar_t* name;
    intptr_t where;
    intptr_t playerId;
    void* next;
};

// Five pages now, one to spare.
constexpr int kMaxPages = 6;

struct Page {
    bool used = false;
    PrefsRecord* record = nullptr;
    std::wstring name;
    DialogProc proc = nullptr;  // single-dialog page
    // tabbed page
    std::array<PrefsTab, 8> tabs{};
    int tabCount = 0;
    std::array<std::wstring, 8> tabNames;
    PagePositionProc position = nullptr;
    CreateDialogProc create = nullptr;
    HWND shownTab = nullptr;
};
std::array<Page, kMaxPages> pages;

intptr_t PageIndex(intptr_t id) {
    return id - 1;
}
Page* PageOf(intptr_t id) {
    intptr_t i = PageIndex(id);
    return i >= 0 && i < kMaxPages && pages[static_cast<size_t>(i)].used
               ? &pages[static_cast<size_t>(i)]
               : nullptr;
}

template <int N>
INT_PTR CALLBACK PageThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    DialogProc proc = pages[N].proc;
    return proc ? proc(dialog, message, wParam, lParam) : FALSE;
}
constexpr std::array<DLGPROC, kMaxPages> kPageThunks = {
    &PageThunk<0>, &PageThunk<1>, &PageThunk<2>, &PageThunk<3>, &PageThunk<4>, &PageThunk<5>};

void ShowTab(Page& page, HWND container, int index) {
    if (page.shownTab) {
        DestroyWindow(page.shownTab);
        page.shownTab = nullptr;
    }
    if (index < 0 || index >= page.tabCount) {
        return;
    }
    const PrefsTab& tab = page.tabs[static_cast<size_t>(index)];
    HWND made = nullptr;
    if (page.create) {
        made = static_cast<HWND>(page.create(tab.dialogId, container, tab.proc, 0));
    }
    if (!made) {
        made = static_cast<HWND>(
            CreateModuleDialog(Adapter().module, tab.dialogId, container, tab.proc, 0));
    }
    if (!made) {
        return;
    }
    HWND tabs = GetDlgItem(container, IDC_CLASSIC_TABS);
    RECT area;
    GetClientRect(tabs, &area);
    TabCtrl_AdjustRect(tabs, FALSE, &area);
    MapWindowPoints(tabs, container, reinterpret_cast<POINT*>(&area), 2);
    SetWindowPos(made, HWND_TOP, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_SHOWWINDOW);
    page.shownTab = made;
}

Page* TabbedPage() {
    for (Page& page : pages) {
        if (page.used && page.tabCount > 1) {
            return &page;
        }
    }
    return nullptr;
}

INT_PTR CALLBACK ContainerProc(HWND container, UINT message, WPARAM, LPARAM lParam) {
    Page* page = TabbedPage();
    if (!page) {
        return FALSE;
    }
    HWND tabs = GetDlgItem(container, IDC_CLASSIC_TABS);
    if (message == WM_INITDIALOG) {
        RECT client;
        GetClientRect(container, &client);
        SetWindowPos(tabs, nullptr, 0, 0, client.right, client.bottom, SWP_NOZORDER);
        for (int i = 0; i < page->tabCount; ++i) {
            TCITEMW item{};
            item.mask = TCIF_TEXT;
            item.pszText = page->tabNames[static_cast<size_t>(i)].data();
            SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(&item));
        }
        int64_t current = 0;
        if (page->position) {
            page->position(container, -1, 0, reinterpret_cast<intptr_t>(&current));
        }
        int index = current >= 0 && current < page->tabCount ? static_cast<int>(current) : 0;
        SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
        ShowTab(*page, container, index);
        return TRUE;
    }
    if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->hwndFrom == tabs &&
        reinterpret_cast<NMHDR*>(lParam)->code == static_cast<UINT>(TCN_SELCHANGE)) {
        int index = static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0));
        if (page->position) {
            page->position(container, -1, 1, index);
        }
        ShowTab(*page, container, index);
        return TRUE;
    }
    if (message == WM_DESTROY) {
        page->shownTab = nullptr;  // destroyed with its parent
    }
    return FALSE;
}

// The narrow names of pages registered with an older player, kept while
// the player holds the records.
std::array<std::string, kMaxPages> narrowNames;

void Register(Page& page) {
    page.record->name = page.name.c_str();
    // The wide record came with 5.53; a player that answers it as an unknown
    // code (1) gets the narrow name, as older players do.
    if (PlayerHas(kVersion553) && Ipc(reinterpret_cast<WPARAM>(page.record), kAddPrefsPageW) != 1) {
        return;
    }
    size_t i = static_cast<size_t>(&page - pages.data());
    narrowNames[i] = ToAnsi(page.name);
    page.record->name = reinterpret_cast<const wchar_t*>(narrowNames[i].c_str());
    Ipc(reinterpret_cast<WPARAM>(page.record), kAddPrefsPage);
}

intptr_t AddPrefsPage(Instance instance, int, const wchar_t* name, const PrefsTab* tabs,
                      int tabCount, int, PagePositionProc position, CreateDialogProc create, int,
                      LocalisationService*, int, int) {
    size_t i = 0;
    while (i < pages.size() && pages[i].used) {
        ++i;
    }
    if (i == pages.size() || !tabs || tabCount <= 0) {
        return 0;
    }
    Page& page = pages[i];
    page = Page{};
    page.used = true;
    page.name = name ? name : L"";
    page.position = position;
    page.create = create;
    page.tabCount = tabCount < 8 ? tabCount : 8;
    for (int t = 0; t < page.tabCount; ++t) {
        page.tabs[static_cast<size_t>(t)] = tabs[t];
    }
    page.record = static_cast<PrefsRecord*>(GlobalAlloc(GPTR, sizeof(PrefsRecord)));
    if (!page.record) {
        page.used = false;
        return 0;
    }
    page.record->where = 1;  // under Plug-ins
    if (page.tabCount > 1) {
        page.record->instance = Adapter().module;
        page.record->dialogId = IDD_CLASSIC_TABS;
        page.record->proc = reinterpret_cast<void*>(&ContainerProc);
    } else {
        page.proc = tabs[0].proc;
        page.record->instance = static_cast<HINSTANCE>(instance);
        page.record->dialogId = tabs[0].dialogId;
        page.record->proc = reinterpret_cast<void*>(kPageThunks[i]);
    }
    Register(page);
    return static_cast<intptr_t>(i) + 1;
}

void RemovePrefsPage(intptr_t pageId) {
    Page* page = PageOf(pageId);
    if (!page) {
        return;
    }
    Ipc(reinterpret_cast<WPARAM>(page->record), kRemovePrefsPage);
    GlobalFree(page->record);
    *page = Page{};
}

void ReplacePageDialog(intptr_t pageId, DialogProc proc, int dialogId) {
    Page* page = PageOf(pageId);
    if (page && page->tabCount == 1) {
        page->proc = proc;
        page->tabs[0] = {dialogId, proc};
        page->record->dialogId = dialogId;
    }
}

void OpenPreferences(intptr_t pageId, int) {
    Page* page = PageOf(pageId);
    Ipc(page ? reinterpret_cast<WPARAM>(page->record) : static_cast<WPARAM>(-1), kOpenPrefsToPage);
}

// Shows the page again, so a replaced dialog appears, when the preferences are open.
void RefreshPage(intptr_t pageId, int) {
    Page* page = PageOf(pageId);
    if (page && PlayerHas(kVersion500) && PlayerWindow(Ipc(0, kPrefsWindow))) {
        Ipc(reinterpret_cast<WPARAM>(page->record), kOpenPrefsToPage);
    }
}

void SetTabName(intptr_t pageId, int index, const wchar_t* name) {
    Page* page = PageOf(pageId);
    if (page && index >= 0 && index < page->tabCount) {
        page->tabNames[static_cast<size_t>(index)] = name ? name : L"";
    }
}

void FinaliseTabs(intptr_t, int) {}

intptr_t DefaultPageHandling(Window, unsigned, uintptr_t, intptr_t, int) {
    return 0;
}

int SetLinkText(Window page, int controlId, const wchar_t* address) {
    return SetDlgItemTextW(static_cast<HWND>(page), controlId, address) ? 1 : 0;
}

void* StyleButton(Window, int, void* previous) {
    return previous;
}

// -- boxes, folders, menus

HWND BoxOwner(Window owner) {
    if (owner) {
        return static_cast<HWND>(owner);
    }
    HWND parent = PlayerHas(kVersion551) ? PlayerWindow(Ipc(0, kDialogBoxParent)) : nullptr;
    return parent ? parent : Adapter().main;
}

int BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    return platform::ChooseFolder(BoxOwner(owner), title, folder, size) ? 1 : 0;
}

int ChooseSaveFile(Window owner, const wchar_t* title, const wchar_t* extension, wchar_t* path,
                   int size) {
    if (!path || size <= 0 || !extension) {
        return 0;
    }
    // "CSV files (*.csv)", "*.csv", then every file; each ends in a zero and
    // the list in two.
    const std::wstring ext = extension;
    std::wstring filter = L"Files (*." + ext + L")";
    filter += L'\0';
    filter += L"*." + ext;
    filter += L'\0';
    filter += L"All files (*.*)";
    filter += L'\0';
    filter += L"*.*";
    filter += L'\0';
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = BoxOwner(owner);
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = path;
    dialog.nMaxFile = static_cast<DWORD>(size);
    dialog.lpstrTitle = title;
    dialog.lpstrDefExt = extension;
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    return GetSaveFileNameW(&dialog) ? 1 : 0;
}

void ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
    platform::ShowMessageBox(BoxOwner(owner), text, title, MB_OK | MB_ICONINFORMATION);
}

int MessageBoxOp(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags) {
    return platform::ShowMessageBox(BoxOwner(owner), text, title, flags);
}

Menu CreatePopupMenuOp() {
    return CreatePopupMenu();
}

int AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    UINT kind = text ? MF_STRING : MF_SEPARATOR;
    return InsertMenuW(static_cast<HMENU>(menu), static_cast<UINT>(position),
                       MF_BYPOSITION | kind | static_cast<UINT>(flags), static_cast<UINT_PTR>(id),
                       text)
               ? 1
               : 0;
}

void MenuPosition(Window* owner, int* x, int* y) {
    POINT at{};
    GetCursorPos(&at);
    if (owner) {
        *owner = Adapter().main;
    }
    if (x) {
        *x = at.x;
    }
    if (y) {
        *y = at.y;
    }
}

int TrackPopupMenuOp(Menu menu, Window owner, int x, int y) {
    return static_cast<int>(TrackPopupMenu(static_cast<HMENU>(menu),
                                           TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, 0,
                                           static_cast<HWND>(owner), nullptr));
}

void DestroyMenuOp(Menu menu) {
    DestroyMenu(static_cast<HMENU>(menu));
}

// -- the window operations, user32's

int PostMessageOp(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return platform::PostToWindow(window, message, wParam, lParam) ? 1 : 0;
}
uintptr_t SetTimerOp(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc) {
    return platform::SetWindowTimer(window, id, milliseconds, proc) ? id : 0;
}
int KillTimerOp(Window window, uintptr_t id) {
    return platform::KillWindowTimer(window, id) ? 1 : 0;
}
int IsWindowOp(Window window) {
    return platform::IsLiveWindow(window) ? 1 : 0;
}
int SetItemText(Window dialog, int id, const wchar_t* text) {
    return platform::SetControlText(dialog, id, text) ? 1 : 0;
}
int GetItemText(Window dialog, int id, wchar_t* out, int size) {
    return platform::GetControlText(dialog, id, out, size);
}
int CheckItem(Window dialog, int id, int checked) {
    platform::CheckControl(dialog, id, checked != 0);
    return 1;
}
int IsItemChecked(Window dialog, int id) {
    return platform::IsControlChecked(dialog, id) ? 1 : 0;
}
intptr_t SendItemMessage(Window dialog, int id, unsigned message, uintptr_t wParam,
                         intptr_t lParam) {
    return platform::SendControlMessage(dialog, id, message, wParam, lParam);
}
int EnableItem(Window dialog, int id, int enabled) {
    platform::EnableControl(dialog, id, enabled != 0);
    return 1;
}
int ShowItem(Window dialog, int id, int shown) {
    platform::ShowControl(dialog, id, shown != 0);
    return 1;
}

}  // namespace

void RemovePages() {
    for (size_t i = 0; i < pages.size(); ++i) {
        RemovePrefsPage(static_cast<intptr_t>(i) + 1);
    }
}

void FillWindowOperations(HostServices& t) {
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
    t.chooseSaveFile = &ChooseSaveFile;
    t.showAboutBox = &ShowAboutBox;
    t.createPopupMenu = &CreatePopupMenuOp;
    t.addMenuItem = &AddMenuItem;
    t.menuPosition = &MenuPosition;
    t.trackPopupMenu = &TrackPopupMenuOp;
    t.destroyMenu = &DestroyMenuOp;
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
}

}  // namespace kiln::classic
