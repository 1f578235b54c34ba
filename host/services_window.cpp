// The table's pages, menus, boxes and window system: the host's WindowSystem.
#include "host/services_internal.h"
#include "host/substitute_host.h"
#include "host/window_system.h"

namespace kiln::host {
namespace {

WindowSystem& W() {
    return SubstituteHost::Instance().Windows();
}

intptr_t AddPrefsPage(Instance instance, int flags, const wchar_t* name, const PrefsTab* tabs,
                      int tabCount, int parent, PagePositionProc position, CreateDialogProc create,
                      int visible, LocalisationService* localisation, int group, int pageCode) {
    return W().AddPage(instance, flags, name, tabs, tabCount, parent, position, create, visible,
                       localisation, group, pageCode);
}
void RemovePrefsPage(intptr_t pageId) {
    W().RemovePage(pageId);
}
void ReplacePageDialog(intptr_t pageId, DialogProc proc, int dialogId) {
    W().ReplacePageDialog(pageId, proc, dialogId);
}
void RefreshPage(intptr_t pageId, int) {
    W().RefreshPage(pageId);
}
void SetTabName(intptr_t pageId, int index, const wchar_t* name) {
    W().SetTabName(pageId, index, name);
}
void FinaliseTabs(intptr_t pageId, int flags) {
    W().FinaliseTabs(pageId, flags);
}
void OpenPreferences(intptr_t pageId, int tab) {
    W().OpenPage(pageId, tab);
}
int SetLinkText(Window page, int controlId, const wchar_t* address) {
    return W().SetLinkText(page, controlId, address) ? 1 : 0;
}
void* StyleButton(Window page, int controlId, void* previous) {
    return W().StyleButton(page, controlId, previous);
}
int BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    return W().BrowseForFolder(owner, title, folder, size);
}

int ChooseSaveFile(Window owner, const wchar_t* title, const wchar_t* extension, wchar_t* path,
                   int size) {
    return W().ChooseSaveFile(owner, title, extension, path, size);
}
void ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
    W().ShowAboutBox(owner, text, title);
}
Menu CreatePopupMenu() {
    return W().CreatePopupMenu();
}
int AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    return W().AddMenuItem(menu, id, text, position, flags) ? 1 : 0;
}
void MenuPosition(Window* owner, int* x, int* y) {
    W().MenuPosition(owner, x, y);
}
int TrackPopupMenu(Menu menu, Window owner, int x, int y) {
    return W().TrackPopupMenu(menu, owner, x, y);
}
void DestroyMenu(Menu menu) {
    W().DestroyMenu(menu);
}

int PostMessageOp(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return W().PostMessage(window, message, wParam, lParam) ? 1 : 0;
}
uintptr_t SetTimerOp(Window window, uintptr_t id, unsigned ms, TimerProc proc) {
    return W().SetTimer(window, id, ms, proc);
}
int KillTimerOp(Window window, uintptr_t id) {
    return W().KillTimer(window, id) ? 1 : 0;
}
int IsWindowOp(Window window) {
    return W().IsWindow(window) ? 1 : 0;
}
int SetItemText(Window dialog, int controlId, const wchar_t* text) {
    return W().SetItemText(dialog, controlId, text) ? 1 : 0;
}
int GetItemText(Window dialog, int controlId, wchar_t* out, int size) {
    return W().GetItemText(dialog, controlId, out, size);
}
int CheckItem(Window dialog, int controlId, int checked) {
    return W().CheckItem(dialog, controlId, checked) ? 1 : 0;
}
int IsItemChecked(Window dialog, int controlId) {
    return W().IsItemChecked(dialog, controlId);
}
intptr_t SendItemMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                         intptr_t lParam) {
    return W().SendItemMessage(dialog, controlId, message, wParam, lParam);
}
int EnableItem(Window dialog, int controlId, int enabled) {
    return W().EnableItem(dialog, controlId, enabled != 0) ? 1 : 0;
}
int ShowItem(Window dialog, int controlId, int shown) {
    return W().ShowItem(dialog, controlId, shown != 0) ? 1 : 0;
}
int MessageBoxOp(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags) {
    return W().MessageBox(owner, text, title, flags);
}

}  // namespace

void FillWindowOperations(HostServices& t) {
    t.addPrefsPage = &AddPrefsPage;
    t.removePrefsPage = &RemovePrefsPage;
    t.replacePageDialog = &ReplacePageDialog;
    t.refreshPage = &RefreshPage;
    t.setTabName = &SetTabName;
    t.finaliseTabs = &FinaliseTabs;
    t.openPreferences = &OpenPreferences;
    t.defaultPageHandling = &WindowSystem::DefaultPageHandling;
    t.setLinkText = &SetLinkText;
    t.styleButton = &StyleButton;
    t.browseForFolder = &BrowseForFolder;
    t.chooseSaveFile = &ChooseSaveFile;
    t.showAboutBox = &ShowAboutBox;
    t.createPopupMenu = &CreatePopupMenu;
    t.addMenuItem = &AddMenuItem;
    t.menuPosition = &MenuPosition;
    t.trackPopupMenu = &TrackPopupMenu;
    t.destroyMenu = &DestroyMenu;
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

}  // namespace kiln::host
