// A classic player of our own, for gen_kiln.dll under Wine: a real main
// window whose procedure answers the IPC codes of the player's SDK, a playlist
// played in real time with the notices a player sends, preference pages shown
// in a preferences window, and its ini folder. It loads the DLL
// through winampGetGeneralPurposePlugin alone and knows only the seven fields
// of the classic descriptor.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kiln::classictest {

struct Item {
    std::wstring file;
    std::wstring title;
    int lengthMs = 0;
    std::wstring artist;  // with `title`: what the player's decoder reports of the entry
};

// How this player differs from a current, well-behaved one.
struct Quirks {
    LRESULT version = 0x5066;
    bool garbage = false;               // unknown and pointer codes answer non-pointers
    bool noRegisteredMessages = false;  // 65536 is an unknown code
    bool noWidePages = false;           // 1332 is an unknown code: pages come by 332
    bool offline = false;               // 242, "Internet available", answers 0
    bool metadata = false;              // 3026 answers every field of an entry
};

struct ClassicPage {
    HINSTANCE instance;
    int dialogId;
    DLGPROC proc;
    std::wstring name;
    const void* record;
};

class ClassicPlayer {
  public:
    // Its ini folder, handed out in the ANSI code page as a narrow player does.
    explicit ClassicPlayer(const std::wstring& iniFolder, Quirks quirks = {});
    ~ClassicPlayer();

    // LoadLibrary, the descriptor getter, the two fields a player fills, init.
    // False when any step fails (init's non-zero result included).
    bool Load(const std::wstring& dll);
    // The plug-in's configuration: what a player's "Configure" button calls.
    void Config();
    // quit, then FreeLibrary; with `noticesDuringQuit`, another thread keeps
    // sending playback notices while quit runs. Returns quit's milliseconds.
    ULONGLONG Unload(bool noticesDuringQuit = false);
    // The plug-in page's uninstall: the optional export, as 5.x players call it.
    int Uninstall();
    int DescriptorVersion() const { return version_; }
    std::string Description() const { return description_; }

    void SetPlaylist(std::vector<Item> items) { playlist_ = std::move(items); }
    // Plays entry `index`: the new-item notice, then the status notice, both
    // sent to the main window as a player does.
    void Play(size_t index);
    void Pause() { SetStatus(3); }
    void Resume() { SetStatus(1); }
    void Stop() { SetStatus(0); }
    void Next() { Play(position_ + 1); }
    // A stream's new title, as its decoder reports it; the player announces it.
    void Retitle(const std::wstring& title) {
        playlist_[position_].title = title;
        Notify(0, 603);
    }
    // Sends a main-window notice as another component would (e.g. 243 from an
    // input plug-in).
    LRESULT Notify(WPARAM wParam, LPARAM code);

    // Runs the main window's messages for `ms` milliseconds.
    void Pump(DWORD ms);

    HWND Main() const { return main_; }
    WNDPROC OwnProcedure() const;
    const std::vector<ClassicPage>& Pages() const { return pages_; }
    // IPC questions the main window answered since the last reset.
    int Asked() const { return asked_; }
    // Notices that came through the main window while quit ran.
    int NoticesDuringQuit() const { return noticesInQuit_; }
    // Codes this player does not know that reached it, sent or posted.
    const std::set<LPARAM>& UnknownCodes() const { return unknown_; }
    void ResetAsked() { asked_ = 0; }
    // The preferences window, opened at the page (as IPC 380 does); null if none.
    HWND OpenPreferences(size_t page);

  private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    LRESULT Ipc(WPARAM wParam, LPARAM code);
    int PositionMs() const;
    void SetStatus(int status);  // with the status notice
    void ShowPage(const void* record);

    std::string iniFolder_;
    Quirks quirks_;
    int asked_ = 0;
    bool quitting_ = false;
    int noticesInQuit_ = 0;
    std::set<LPARAM> unknown_;
    HWND main_ = nullptr;
    HWND prefs_ = nullptr;
    HWND pageWindow_ = nullptr;
    HMODULE module_ = nullptr;
    void* descriptor_ = nullptr;
    int version_ = 0;
    std::string description_;
    std::vector<Item> playlist_;
    size_t position_ = 0;
    int status_ = 0;  // 0 stopped, 1 playing, 3 paused
    ULONGLONG startedAt_ = 0;
    ULONGLONG pausedAt_ = 0;
    std::wstring playing_;
    std::map<std::string, LPARAM> registered_;
    std::vector<ClassicPage> pages_;
};

}  // namespace kiln::classictest
