// Shared state of the classic adapter's parts. Each part's file says which of
// its statics which threads touch: the player's main thread (init, quit, the
// subclassed window procedure, pages), the plug-in's worker, POST, preview
// and presence threads, and the artwork thread.
#pragma once

#include <windows.h>

#include <optional>
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
    kPlaylistFile = 211,
    kPlaylistFileW = 214,
    kInternetAvailable = 242,
    kUpdateTitle = contract::kNewItemAlternative,
    kIniDirectory = 335,
    kAddPrefsPage = 332,
    kRemovePrefsPage = 333,
    kDialogBoxParent = 365,
    kOpenPrefsToPage = 380,
    kPrefsWindow = 619,
    kAddPrefsPageW = 1332,
    kPlayingFileNarrowNotice = 3003,
    kTagsUpdatedNotice = 3004,
    kTagsUpdatedNoticeW = 3005,
    kExtendedFileInfoW = 3026,
    kPlayingFileW = 3031,
    kPlayingTitle = 3034,
    kPlayingFileNotice = contract::kNewItem,
    kMiscNotice = contract::kPlaybackNotice,
    kRegisterMessage = 65536,
};
inline constexpr WPARAM kMiscTitle = 0;
inline constexpr WPARAM kMiscStatus = 2;
inline constexpr WPARAM kMiscInfo = 4;

// Player versions (IPC 0) from which the SDK gives a code: 0x20yx is 2.yx,
// 0x50yx is 5.yx.
inline constexpr LRESULT kVersion204 = 0x2004;
inline constexpr LRESULT kVersion205 = 0x2005;
inline constexpr LRESULT kVersion290 = 0x2090;
inline constexpr LRESULT kVersion500 = 0x5000;
inline constexpr LRESULT kVersion513 = 0x5013;
inline constexpr LRESULT kVersion551 = 0x5051;
inline constexpr LRESULT kVersion553 = 0x5053;

struct State {
    HWND main = nullptr;
    HINSTANCE module = nullptr;
};
State& Adapter();

// -- the player's answers (classic_ipc.cpp)

// SendMessage(main, WM_USER, wParam, code): the player's answer.
LRESULT Ipc(WPARAM wParam, LPARAM code);
// The player's version word, asked once per session (0 when it gave none
// that reads as a version).
LRESULT PlayerVersion();
bool PlayerHas(LRESULT sinceVersion);
// A text the player handed out as a pointer, copied at once and bounded.
// Answers that cannot be pointers (0, 1, below 64 KiB, not committed
// readable memory) give nothing.
std::optional<std::wstring> PlayerWideText(LRESULT answer, size_t maxChars = 32768);
std::optional<std::string> PlayerNarrowText(LRESULT answer, size_t maxChars = 32768);
// The ANSI code page's conversions, as a narrow player makes them.
std::wstring FromAnsi(const std::string& text);
std::string ToAnsi(const std::wstring& text);
// A window handle the player answered, when it names a live window.
HWND PlayerWindow(LRESULT answer);
// The playing file (empty when none) and the status (0 stopped, 1 playing,
// 3 paused), each cached until the player's next notice.
std::wstring PlayingFile();
int PlayerStatus();
// Called by the subclass for every notice, before the plug-in sees it.
void NoteNotice(WPARAM wParam, LPARAM code);
bool IsOwnMessage(LPARAM code);  // one of the names registered through the table
void ForgetSession();            // quit: the next init asks again
void FillIpcOperations(HostServices& table);

// -- settings and paths (classic_folders.cpp)
void StartFolders();
std::wstring SettingsFolder();  // the folder holding gen_kiln.ini, found at init
void FillFolderOperations(HostServices& table);
int ReadSettingText(const wchar_t* key, const wchar_t* def, wchar_t* buffer, int size);

// -- playback and metadata (classic_playback.cpp)
void NoteItemNotice(WPARAM wParam, LPARAM code);  // drops fields a notice made stale
void FillPlaybackOperations(HostServices& table);

// -- init and quit (classic_services.cpp)
void StartServices();
void StopServices();

// -- web, text, threads, resources (classic_runtime.cpp)
void StartRuntime();
void FillRuntimeOperations(HostServices& table);
TextService* ClassicTextService();
ArtworkService* ClassicArtworkService();

// -- pages, dialogs, boxes, menus, windows (classic_windows.cpp)
void FillWindowOperations(HostServices& table);
void RemovePages();

}  // namespace kiln::classic
