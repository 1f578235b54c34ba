// The substitute host's window system: a main window with its message queue
// and timers (message_loop.cpp), dialogs built from the plug-in's templates and
// their controls (dialogs.cpp), the preferences window with its pages
// (preference_pages.cpp), and the popup menus and boxes the plug-in may show
// (menus_and_boxes.cpp, with a lock of its own).
//
// It models the parts of user32 the plug-in relies on, on one GUI thread: the
// main thread is whichever thread runs the loop (Run*); until one does, the
// thread that made the object. Callbacks (the message hook, timer routines,
// dialog routines, choosers, observers) run on that thread only and never
// while an internal lock is held, so they may call back into this object.
// Every public method is safe to call from any thread; the ones that call a
// dialog routine synchronously (creating and destroying dialogs, pages, the
// simulated user actions, SendMessage) refuse to run off the main thread.
//
// Handles (windows, controls, menus, styling tokens) are increasing integers
// that are never reused, so a destroyed window's handle never becomes valid
// again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "host/dialogs.h"
#include "host/menus_and_boxes.h"
#include "host/preference_pages.h"
#include "resources/resource_directory.h"

namespace kiln::host {

class WindowSystem {
  public:
    using MainWindowHandler = std::function<void(unsigned, uintptr_t, intptr_t)>;
    using TemplateFinder = std::function<const res::DialogEntry*(Instance, int dialogId)>;
    using MenuChooser = MenusAndBoxes::MenuChooser;
    using FolderResponder = MenusAndBoxes::FolderResponder;
    using AboutObserver = MenusAndBoxes::AboutObserver;
    using UrlObserver = MenusAndBoxes::UrlObserver;

    WindowSystem();
    ~WindowSystem();
    WindowSystem(const WindowSystem&) = delete;
    WindowSystem& operator=(const WindowSystem&) = delete;

    // -- the main window, messages and timers

    Window MainWindow() const { return mainWindow_; }
    // Every message delivered to the main window goes to the host's own
    // handler first, then to the hook.
    void SetMainWindowHandler(MainWindowHandler handler);
    void SetMessageHook(MessageHookProc hook);

    // Queued; delivered in order by the loop. False for a window that does not
    // exist (a null window included).
    bool PostMessage(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    // Delivered at once on the main thread (the result of a dialog routine);
    // from another thread it is posted and 0 returned.
    intptr_t SendMessage(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    // Fires every `milliseconds` (at least 10) until killed, as
    // proc(window, WM_TIMER, id, tick count), or, without a routine, as a
    // WM_TIMER message to the window. The same id on the same window replaces
    // the timer. Without a window the id is chosen here unless it names such a
    // timer already. Returns the id (1 for id 0), or 0 for a missing window.
    uintptr_t SetTimer(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc);
    bool KillTimer(Window window, uintptr_t id);
    // True while the timer is set (a one-shot routine that killed it: false).
    bool HasTimer(Window window, uintptr_t id) const;
    bool IsWindow(Window window) const;

    // Case-insensitive; the same name always gives the same code, from 0xC000
    // up. 0 for a null or empty name, or when the codes are used up.
    unsigned RegisterMessage(const char* name);

    // -- the loop (each call makes the calling thread the main thread)

    // Delivers the messages posted before the call and the timers due at it.
    void RunPending();
    // Delivers messages and timers until done() (checked after every delivery
    // and whenever the loop wakes) or the time is up; sleeps until the next
    // timer, a post or Wake(). A condition that other threads change without
    // posting (a file a worker writes) can be re-checked every `recheck` as
    // well; 0 never. Returns done()'s last answer.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds recheck = std::chrono::milliseconds(0));
    void RunFor(std::chrono::milliseconds duration);
    // Ends RunUntilQuit once the messages posted before it are delivered.
    void Quit();
    // True when Quit ended the loop, false when the time ran out first.
    bool RunUntilQuit(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    // Wakes a sleeping loop so that it checks its condition again.
    void Wake();

    // -- dialogs

    // Builds the dialog and its controls, then sends WM_INITDIALOG (wParam:
    // the first control that takes focus, lParam: param). Null for a missing
    // template, a parent that is not a window, off the main thread, or when
    // the routine destroyed the dialog while it was being made.
    Window CreateDialogFromTemplate(const res::DialogEntry* dialog, Window parent, DialogProc proc,
                                    intptr_t param);
    // WM_DESTROY to the dialog, then its child dialogs are destroyed; its
    // timers and queued messages go with it.
    bool DestroyDialog(Window dialog);
    // Dialogs that exist now, oldest first, and what they were made from.
    std::vector<Window> Dialogs() const;
    int DialogTemplateId(Window dialog) const;
    Window DialogParent(Window dialog) const;
    std::optional<ControlState> Control(Window dialog, int controlId) const;

    // Control operations, keyed by dialog and control id (the first control
    // with that id); 0 or false for an unknown dialog or id. Texts the
    // program sets are not held to an edit's limit, which binds typing only.
    // Setting a one-line edit's text notifies the dialog with EN_CHANGE, at
    // once on the main thread, posted from others; multi-line edits are not
    // notified, as in Win32.
    bool SetItemText(Window dialog, int controlId, const wchar_t* text);
    // Bounded, terminated copy; the characters copied. A combo box with a
    // selection reads as the selected item.
    int GetItemText(Window dialog, int controlId, wchar_t* out, int size) const;
    bool CheckItem(Window dialog, int controlId, int state);
    int IsItemChecked(Window dialog, int controlId) const;
    bool EnableItem(Window dialog, int controlId, bool enabled);
    bool IsItemEnabled(Window dialog, int controlId) const;
    bool ShowItem(Window dialog, int controlId, bool shown);
    bool IsItemVisible(Window dialog, int controlId) const;
    // Edit limits, check state, texts and the combo box list messages of
    // win::; anything else gives 0.
    intptr_t SendItemMessage(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                             intptr_t lParam);

    // -- what the user does (main thread; false when the user could not do it:
    //    unknown, hidden or disabled control, a read-only edit, a bad index)

    // Toggles an automatic check box (or checks an automatic radio button),
    // then WM_COMMAND BN_CLICKED.
    bool ClickButton(Window dialog, int controlId);
    // Replaces the text as typing would (the limit applies; a number-only edit
    // takes digits only), then WM_COMMAND EN_CHANGE.
    bool TypeText(Window dialog, int controlId, const std::wstring& text);
    // Selects the item, then WM_COMMAND CBN_SELCHANGE.
    bool SelectCombo(Window dialog, int controlId, int index);
    // The user selects exactly these items of a list box (one at most unless
    // it takes several); it is told when it asked to be (LBS_NOTIFY).
    bool SelectListItems(Window dialog, int controlId, const std::vector<int>& indices);
    // Follows the index-th <a href="..."> of a control's text to the browser.
    bool ClickLink(Window dialog, int controlId, int index = 0);

    // -- preference pages

    void SetTemplateFinder(TemplateFinder finder);
    intptr_t AddPage(Instance instance, int flags, const wchar_t* name, const PrefsTab* tabs,
                     int tabCount, int parent, PagePositionProc position, CreateDialogProc create,
                     int visible, LocalisationService* localisation, int group, int pageCode);
    // An open page's dialog is destroyed first.
    void RemovePage(intptr_t pageId);
    // Takes effect when the page's dialog is next made: a single page's
    // record, or a tabbed page's open tab (tab 0 when closed).
    void ReplacePageDialog(intptr_t pageId, DialogProc proc, int dialogId);
    // Remakes the page's dialog when it is open (not while it is being made).
    void RefreshPage(intptr_t pageId);
    void SetTabName(intptr_t pageId, int index, const wchar_t* name);
    void FinaliseTabs(intptr_t pageId, int flags);
    // Opens the preferences window at the page. A tabbed page opens at
    // tabIndex, or, for a negative one, where its position routine says; its
    // tab dialogs come from its create routine (else the template finder),
    // single pages from the template finder. True when the page's dialog is
    // open afterwards.
    bool OpenPage(intptr_t pageId, int tabIndex = -1);
    // The user picks another tab of the open tabbed page; the position routine
    // hears of it before the tab's dialog is made.
    bool SwitchTab(int index);
    void ClosePreferences();
    static intptr_t DefaultPageHandling(Window, unsigned, uintptr_t, intptr_t, int) { return 0; }

    std::vector<PageInfo> Pages() const;
    std::optional<PageInfo> Page(intptr_t pageId) const;
    Window PreferencesWindow() const;
    intptr_t OpenPageId() const;  // 0 when none is open
    int OpenTab() const;
    Window OpenPageDialog() const;

    // -- links and styling

    // The control's text as a printf format with the address as its one %s
    // ("%%" reads "%"), as the link control of a Windows host shows it.
    bool SetLinkText(Window page, int controlId, const wchar_t* address);
    // A non-null token for a known control; `previous` is retired.
    void* StyleButton(Window page, int controlId, void* previous);

    // -- folders, About, URLs, popup menus and message boxes: menus_and_boxes.h

    MenusAndBoxes& Boxes() { return boxes_; }
    const MenusAndBoxes& Boxes() const { return boxes_; }
    int BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
        return boxes_.BrowseForFolder(owner, title, folder, size);
    }
    void SetFolderResponder(FolderResponder responder) {
        boxes_.SetFolderResponder(std::move(responder));
    }
    std::optional<FolderRequest> LastFolderRequest() const { return boxes_.LastFolderRequest(); }
    int ChooseSaveFile(Window owner, const wchar_t* title, const wchar_t* extension, wchar_t* path,
                       int size) {
        return boxes_.ChooseSaveFile(owner, title, extension, path, size);
    }
    void SetSaveResponder(FolderResponder responder) {
        boxes_.SetSaveResponder(std::move(responder));
    }
    void ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
        boxes_.ShowAboutBox(owner, text, title);
    }
    void SetAboutObserver(AboutObserver observer) { boxes_.SetAboutObserver(std::move(observer)); }
    std::optional<AboutRecord> LastAboutBox() const { return boxes_.LastAboutBox(); }
    int OpenUrl(Window owner, const wchar_t* url, int flags) {
        return boxes_.OpenUrl(owner, url, flags);
    }
    void SetUrlObserver(UrlObserver observer) { boxes_.SetUrlObserver(std::move(observer)); }
    std::vector<std::wstring> OpenedUrls() const { return boxes_.OpenedUrls(); }

    Menu CreatePopupMenu() { return boxes_.CreatePopupMenu(); }
    bool AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
        return boxes_.AddMenuItem(menu, id, text, position, flags);
    }
    // Menus open at the main window's corner.
    void MenuPosition(Window* owner, int* x, int* y) const;
    int TrackPopupMenu(Menu menu, Window owner, int x, int y) {
        return boxes_.TrackPopupMenu(menu, owner, x, y);
    }
    bool DestroyMenu(Menu menu) { return boxes_.DestroyMenu(menu); }
    void SetMenuChooser(MenuChooser chooser) { boxes_.SetMenuChooser(std::move(chooser)); }
    std::optional<std::vector<MenuItem>> LastMenuShown() const { return boxes_.LastMenuShown(); }
    int LiveMenus() const { return boxes_.LiveMenus(); }

    int MessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags) {
        return boxes_.MessageBox(owner, text, title, flags);
    }
    void QueueMessageBoxAnswer(int answer) { boxes_.QueueMessageBoxAnswer(answer); }
    void SetMessageBoxResponder(MenusAndBoxes::BoxResponder responder) {
        boxes_.SetMessageBoxResponder(std::move(responder));
    }

    // -- watching (a display of the windows, such as kiln-host's browser view)

    // Hears of dialogs made and destroyed (control id 0) and of every control
    // operation that may change what a display shows. Unlike the other
    // callbacks it runs on the thread that made the change (the preview thread
    // writes previews), never while an internal lock is held.
    using ChangeObserver = std::function<void(Window dialog, int controlId)>;
    void SetChangeObserver(ChangeObserver observer);
    std::vector<MessageBoxRecord> MessageBoxes() const { return boxes_.MessageBoxes(); }

  private:
    enum class WindowKind { Main, Frame, Dialog, Control };
    struct WindowRecord {
        WindowKind kind = WindowKind::Dialog;
        Window parent = nullptr;  // a control's dialog
        DialogProc proc = nullptr;
        int templateId = 0;
        std::vector<ControlState> controls;
        bool destroying = false;
    };
    struct Posted {
        uint64_t seq;
        Window window;
        unsigned message;
        uintptr_t wParam;
        intptr_t lParam;
    };
    using Clock = std::chrono::steady_clock;
    struct TimerRecord {
        std::chrono::milliseconds interval;
        TimerProc proc;
        Clock::time_point due;
    };
    using TimerKey = std::pair<uintptr_t, uintptr_t>;  // window, id

    bool OnMainThread() const;
    void BecomeMainThread();
    Window NewHandleLocked() REQUIRES(mutex_);
    WindowRecord* FindLocked(Window window) REQUIRES(mutex_);
    const WindowRecord* FindLocked(Window window) const REQUIRES(mutex_);
    ControlState* FindControlLocked(Window dialog, int controlId) REQUIRES(mutex_);
    const ControlState* FindControlLocked(Window dialog, int controlId) const REQUIRES(mutex_);
    bool PostLocked(Window window, unsigned message, uintptr_t wParam, intptr_t lParam)
        REQUIRES(mutex_);
    // Runs one due message or timer; false when nothing was due.
    bool DispatchOne(Clock::time_point now, uint64_t lastSeq);
    intptr_t Deliver(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    // The command a control sends its dialog.
    void Notify(Window dialog, int controlId, Window control, unsigned notification);
    // Tells the change observer when it goes out of scope: declared before a
    // method's lock, it reports after the lock is released.
    class ChangeNote {
      public:
        ChangeNote(WindowSystem* windows, Window dialog, int controlId)
            : windows_(windows), dialog_(dialog), controlId_(controlId) {}
        ~ChangeNote();
        ChangeNote(const ChangeNote&) = delete;
        ChangeNote& operator=(const ChangeNote&) = delete;

      private:
        WindowSystem* windows_;
        Window dialog_;
        int controlId_;
    };
    void NotifyEditChangeIfOneLine(Window dialog, const ControlState& control);
    intptr_t ListMessageLocked(ControlState& control, unsigned message, uintptr_t wParam,
                               intptr_t lParam) REQUIRES(mutex_);
    intptr_t ComboMessageLocked(ControlState& control, unsigned message, uintptr_t wParam,
                                intptr_t lParam) REQUIRES(mutex_);
    bool CreatePageDialog(intptr_t pageId, int tab);
    void DestroyOpenPageDialog();

    mutable Mutex mutex_;
    std::condition_variable wakeup_;
    std::atomic<std::thread::id> mainThread_;
    Window mainWindow_ = nullptr;  // made by the constructor, never changed

    uintptr_t nextHandle_ GUARDED_BY(mutex_) = 0x10000;
    uint64_t changes_ GUARDED_BY(mutex_) = 0;  // bumped by everything that should wake the loop
    std::map<uintptr_t, WindowRecord> windows_ GUARDED_BY(mutex_);
    MainWindowHandler mainHandler_ GUARDED_BY(mutex_);
    MessageHookProc hook_ GUARDED_BY(mutex_) = nullptr;
    ChangeObserver changeObserver_ GUARDED_BY(mutex_);
    std::deque<Posted> queue_ GUARDED_BY(mutex_);
    uint64_t lastSeq_ GUARDED_BY(mutex_) = 0;
    bool quitRequested_ GUARDED_BY(mutex_) = false;
    uint64_t quitSeq_ GUARDED_BY(mutex_) = 0;
    std::map<TimerKey, TimerRecord> timers_ GUARDED_BY(mutex_);
    uintptr_t nextThreadTimerId_ GUARDED_BY(mutex_) = 0x7F00;
    std::map<std::string, unsigned> registered_ GUARDED_BY(mutex_);
    unsigned nextRegistered_ GUARDED_BY(mutex_) = 0xC000;

    TemplateFinder finder_ GUARDED_BY(mutex_);
    std::map<intptr_t, PageInfo> pages_ GUARDED_BY(mutex_);
    Window preferences_ GUARDED_BY(mutex_) = nullptr;
    intptr_t openPage_ GUARDED_BY(mutex_) = 0;
    int openTab_ GUARDED_BY(mutex_) = 0;
    Window openDialog_ GUARDED_BY(mutex_) = nullptr;
    intptr_t creatingPage_ GUARDED_BY(mutex_) = 0;

    MenusAndBoxes boxes_;
};

}  // namespace kiln::host
