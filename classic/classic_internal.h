// Shared state of the classic adapter's parts.
#pragma once

#include <windows.h>

#include <string>

#include "core/host_contract.h"
#include "core/host_services.h"

namespace kiln::classic {

// The player's IPC message and the codes the adapter uses.
inline constexpr UINT kIpc = WM_USER;
enum IpcCode : LPARAM {
    kGetVersion = 0,
    kIsPlaying = 104,
    kOutputTime = 105,
    kListLength = 124,
    kListPosition = 125,
    kInternetAvailable = 242,
    kUpdateTitle = contract::kNewItemAlternative,
    kExtendedFileInfoW = 3026,
    kPlaylistFileW = 214,
    kPlayingFileW = 3031,
    kPlayingTitle = 3034,
    kPlayingFileNotice = contract::kNewItem,
    kMiscNotice = contract::kPlaybackNotice,
    kIniDirectory = 335,
    kAddPrefsPage = 332,
    kAddPrefsPageW = 1332,
    kRemovePrefsPage = 333,
    kOpenPrefsToPage = 380,
    kPrefsWindow = 619,
    kDialogBoxParent = 365,
    kRegisterMessage = 65536,
};
inline constexpr WPARAM kMiscTitle = 0;
inline constexpr WPARAM kMiscStatus = 2;

struct State {
    HWND main = nullptr;
    HINSTANCE module = nullptr;
    std::wstring iniFolder;  // the player's, without a trailing separator
};
State& Adapter();

// SendMessage(main, WM_USER, wParam, code): the player's answer.
LRESULT Ipc(WPARAM wParam, LPARAM code);
// Playing file of the player (empty when none), copied at once.
std::wstring PlayingFile();
bool IsOwnMessage(LPARAM code);  // one of the names registered through the table

// Called by init and quit.
void StartServices();
void StopServices();
void RemovePages();
TextService* ClassicTextService();
ArtworkService* ClassicArtworkService();

// Win32 pieces of the table (classic_windows.cpp).
void FillWindowOperations(HostServices& table);

}  // namespace kiln::classic
