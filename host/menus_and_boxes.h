// Popup menus and boxes of the substitute host: menus the plug-in builds and
// tracks, message boxes, the About box, the folder chooser and the addresses
// it asks the browser to open. What the user would answer comes from the
// chooser, the queued answers and the responder a test or kiln-host sets.
//
// Independent of the message loop and the dialogs: its own lock, held only
// while its records change, never while a chooser, responder or observer runs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "host/dialogs.h"

namespace kiln::host {

struct MenuItem {
    int id = 0;
    std::wstring text;
    bool separator = false;
    int flags = 0;  // win::kMenuGreyed | win::kMenuDisabled

    bool Selectable() const {
        return !separator && (flags & (win::kMenuGreyed | win::kMenuDisabled)) == 0;
    }
};

struct MessageBoxRecord {
    Window owner = nullptr;
    std::wstring text;
    std::wstring title;
    unsigned flags = 0;
    int answer = 0;
};

struct AboutRecord {
    Window owner = nullptr;
    std::wstring text;
    std::wstring title;
};

struct FolderRequest {
    Window owner = nullptr;
    std::wstring title;
    std::wstring startFolder;
};

class MenusAndBoxes {
  public:
    using MenuChooser = std::function<int(const std::vector<MenuItem>&)>;
    using FolderResponder = std::function<std::optional<std::wstring>(const FolderRequest&)>;
    using AboutObserver = std::function<void(const AboutRecord&)>;
    using UrlObserver = std::function<void(const std::wstring&)>;
    // Answers a box nobody queued an answer for; nullopt: its cancelling button.
    using BoxResponder = std::function<std::optional<int>(const MessageBoxRecord&)>;

    // Menu handles come from the window system's one handle sequence, so that
    // no handle of any kind is ever reused.
    explicit MenusAndBoxes(std::function<void*()> newHandle) : newHandle_(std::move(newHandle)) {}

    // -- folders, About, URLs

    // Without a responder the user cancels: 0. With an answer, copies it into
    // folder (bounded) and returns 1.
    int BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size);
    void SetFolderResponder(FolderResponder responder);
    std::optional<FolderRequest> LastFolderRequest() const;
    // Where to save a file: asks the save responder with the suggested path
    // as the start folder; a name without extension gets `extension`.
    // Without a responder the user cancels: 0.
    int ChooseSaveFile(Window owner, const wchar_t* title, const wchar_t* extension, wchar_t* path,
                       int size);
    void SetSaveResponder(FolderResponder responder);

    void ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title);
    void SetAboutObserver(AboutObserver observer);
    std::optional<AboutRecord> LastAboutBox() const;

    int OpenUrl(Window owner, const wchar_t* url, int flags);
    void SetUrlObserver(UrlObserver observer);
    std::vector<std::wstring> OpenedUrls() const;

    // -- popup menus

    Menu CreatePopupMenu();
    // position -1 appends, else inserts before that index; a null text is a
    // separator.
    bool AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags);
    // Asks the chooser (default: dismissed); the chosen id, or 0 when the menu
    // was dismissed or the id is not a selectable item of the menu.
    int TrackPopupMenu(Menu menu, Window owner, int x, int y);
    bool DestroyMenu(Menu menu);
    void SetMenuChooser(MenuChooser chooser);
    std::optional<std::vector<MenuItem>> LastMenuShown() const;
    int LiveMenus() const;

    // -- message boxes

    // Recorded; answered by the next queued answer, else by the responder,
    // else by the box's cancelling button (No for yes/no boxes, OK for a
    // plain one).
    int MessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags);
    void SetMessageBoxResponder(BoxResponder responder);
    void QueueMessageBoxAnswer(int answer);
    std::vector<MessageBoxRecord> MessageBoxes() const;

  private:
    std::function<void*()> newHandle_;

    mutable Mutex mutex_;
    FolderResponder folderResponder_ GUARDED_BY(mutex_);
    std::optional<FolderRequest> lastFolderRequest_ GUARDED_BY(mutex_);
    FolderResponder saveResponder_ GUARDED_BY(mutex_);
    AboutObserver aboutObserver_ GUARDED_BY(mutex_);
    std::optional<AboutRecord> lastAbout_ GUARDED_BY(mutex_);
    UrlObserver urlObserver_ GUARDED_BY(mutex_);
    std::vector<std::wstring> openedUrls_ GUARDED_BY(mutex_);

    std::map<uintptr_t, std::vector<MenuItem>> menus_ GUARDED_BY(mutex_);
    MenuChooser menuChooser_ GUARDED_BY(mutex_);
    std::optional<std::vector<MenuItem>> lastMenu_ GUARDED_BY(mutex_);

    std::deque<int> boxAnswers_ GUARDED_BY(mutex_);
    BoxResponder boxResponder_ GUARDED_BY(mutex_);
    std::vector<MessageBoxRecord> boxes_ GUARDED_BY(mutex_);
};

}  // namespace kiln::host
