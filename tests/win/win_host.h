// A small Windows host for gen_kiln.dll: the program exports the service
// table the plug-in binds at load and owns a message-only main window whose
// messages go to the plug-in's hook. What the plug-in asks of the host's user
// interface (pages, menus, boxes) is logged as text instead of shown.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/descriptor.h"
#include "core/host_services.h"

namespace kiln::winhost {

struct State {
    PagePositionProc position = nullptr;  // of the first page added
    int openMenus = 0;                    // created and not destroyed
    int threadsStarted = 0;
    int threadsRunning = 0;     // routines not yet returned
    int threadHandlesOpen = 0;  // handed out and not yet closed
    int strayHandleUses = 0;    // close, wait or reap of a handle the host does not hold
};

HWND MainWindow();                                // created on first use
void AttachPlugin(PluginDescriptor* descriptor);  // whose hook gets the main window's messages
void Reset();                                     // forgets the log, the state and every setting
State Snapshot();
// The log lines since the last call, one per recorded call, in order. Pages
// are named p0, p1 ... in the order they were added.
std::vector<std::wstring> TakeLog();
void ChooseMenuItem(int id);  // trackPopupMenu's answer; 0: dismissed

void SetSetting(const std::wstring& section, const std::wstring& key, const std::wstring& value);
std::optional<std::wstring> Setting(const std::wstring& section, const std::wstring& key);
bool HasSection(const std::wstring& section);

// Runs the main window's messages until `done` or `limitMs` passes; whether done.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);
// Runs them until the log holds `lines` lines or `limitMs` passes, and takes the log.
std::vector<std::wstring> PumpForLog(size_t lines, DWORD limitMs);
bool InPlugin(const void* address);  // within gen_kiln.dll's image

// Tab `index` of the first tabbed page, made by the page's create routine in a
// hidden preferences window, as a player's preferences show it; null when it
// cannot be made. The host formats templates with %artist% "Wine Artist".
HWND OpenTab(int index);
// The single page made from dialog `dialogId` of the DLL with the routine it
// registered, in the same hidden preferences window; null when there is none.
HWND OpenPage(int dialogId);

}  // namespace kiln::winhost

extern "C" __declspec(dllexport) const kiln::HostServices* kiln_host_services(
    uint32_t requestedVersion);
