// A small Windows host for gen_kiln.dll: the program exports the service
// table the plug-in binds at load, made with Win32 and the standard library,
// and owns a message-only main window whose messages go to the plug-in's
// hook. Everything the plug-in asks of the host's user interface (pages,
// menus, boxes) is recorded instead of shown, and the test answers it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "plugin/descriptor.h"
#include "plugin/host_services.h"

namespace kiln::winhost {

struct PageCall {
    intptr_t id = 0;  // what the host handed back
    Instance instance = nullptr;
    int flags = 0;
    std::wstring name;
    std::vector<PrefsTab> tabs;
    int parent = 0;
    PagePositionProc position = nullptr;
    CreateDialogProc create = nullptr;
    int visible = 0;
    LocalisationService* localisation = nullptr;
    int group = 0;
    int pageCode = 0;
};

struct TabNameCall {
    intptr_t pageId = 0;
    int index = 0;
    std::wstring name;
};

struct MenuEntry {
    UINT id = 0;
    std::wstring text;
    bool separator = false;
    bool greyed = false;
};

struct AboutCall {
    Window owner = nullptr;
    std::wstring text;
    std::wstring title;
};

// A compressed text resource the plug-in asked for, as found in its module.
struct ResourceTextCall {
    Instance module = nullptr;
    int id = 0;
    bool found = false;
    bool gzipHeader = false;  // 1f 8b, deflate
    uint32_t plainBytes = 0;  // the gzip trailer's size of the uncompressed text
};

struct HostMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

struct Record {
    std::vector<PageCall> pages;
    std::vector<TabNameCall> tabNames;
    std::vector<std::pair<intptr_t, int>> finalisedTabs;
    std::vector<intptr_t> removedPages;
    std::vector<std::pair<intptr_t, int>> openedPreferences;
    std::vector<std::vector<MenuEntry>> shownMenus;  // read back from the real menus
    int menusCreated = 0;
    int menusDestroyed = 0;
    std::vector<AboutCall> aboutBoxes;
    std::vector<ResourceTextCall> resourceTexts;
    std::vector<std::wstring> messageBoxes;
    std::vector<HostMessage> userMessages;  // message 1024 as the main window received it
};

struct ThreadCounts {
    int started = 0;
    int running = 0;        // routines not yet returned
    int openHandles = 0;    // handed out and not yet closed
    int badHandleUses = 0;  // close, wait or reap of a handle the host does not hold
};

// Creates the main window once; later calls return it.
HWND MainWindow();

// The descriptor whose hook receives the main window's messages; null for none.
void AttachPlugin(PluginDescriptor* descriptor);

// Forgets every record and setting, and the strings cached for a module.
void Reset();
Record Snapshot();
ThreadCounts Threads();

// The item id trackPopupMenu answers with (0: the menu was dismissed).
void ChooseMenuItem(int id);
// The answer of every message box (IDYES, IDNO ...).
void AnswerMessageBoxes(int answer);

void SetSetting(const std::wstring& section, const std::wstring& key, const std::wstring& value);
std::optional<std::wstring> Setting(const std::wstring& section, const std::wstring& key);
bool HasSection(const std::wstring& section);

// Runs the main window's messages until `done` holds or `limitMs` passes;
// returns the last answer of `done`.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);

// A folder of this process for the plug-in's files (path entries 2 and 40);
// removed by RemoveProfileFolder.
const wchar_t* ProfileFolder();
void RemoveProfileFolder();

}  // namespace kiln::winhost

extern "C" __declspec(dllexport) const kiln::HostServices* kiln_host_services(
    uint32_t requestedVersion);
