// The substitute host's window system: a main window with its message queue
// and timers, dialogs built from the plug-in's templates, the preferences
// window with its pages, popup menus and the boxes the plug-in may show.
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
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plugin/host_services.h"
#include "resources/resource_directory.h"

namespace kiln::host {

// Message numbers, notifications and answers, as Win32 has them.
namespace win {
inline constexpr unsigned kDestroy = 0x0002;
inline constexpr unsigned kSetText = 0x000C;
inline constexpr unsigned kGetText = 0x000D;
inline constexpr unsigned kGetTextLength = 0x000E;
inline constexpr unsigned kInitDialog = 0x0110;
inline constexpr unsigned kCommand = 0x0111;
inline constexpr unsigned kTimer = 0x0113;

inline constexpr unsigned kButtonClicked = 0;    // BN_CLICKED
inline constexpr unsigned kComboSelChange = 1;   // CBN_SELCHANGE
inline constexpr unsigned kEditChange = 0x0300;  // EN_CHANGE

inline constexpr unsigned kEditLimitText = 0x00C5;
inline constexpr unsigned kEditSetReadOnly = 0x00CF;
inline constexpr unsigned kEditGetLimitText = 0x00D5;
inline constexpr unsigned kButtonGetCheck = 0x00F0;
inline constexpr unsigned kButtonSetCheck = 0x00F1;
inline constexpr unsigned kComboAddString = 0x0143;
inline constexpr unsigned kComboDeleteString = 0x0144;
inline constexpr unsigned kComboGetCount = 0x0146;
inline constexpr unsigned kComboGetCurSel = 0x0147;
inline constexpr unsigned kComboGetLbText = 0x0148;
inline constexpr unsigned kComboGetLbTextLen = 0x0149;
inline constexpr unsigned kComboInsertString = 0x014A;
inline constexpr unsigned kComboResetContent = 0x014B;
inline constexpr unsigned kComboSetCurSel = 0x014E;
inline constexpr intptr_t kComboError = -1;  // CB_ERR

// Window and control styles read from the templates.
inline constexpr uint32_t kStyleVisible = 0x10000000;
inline constexpr uint32_t kStyleDisabled = 0x08000000;
inline constexpr uint32_t kStyleGroup = 0x00020000;
inline constexpr uint32_t kStyleTabStop = 0x00010000;
inline constexpr uint32_t kButtonTypeMask = 0x000F;
inline constexpr uint32_t kEditMultiLine = 0x0004;
inline constexpr uint32_t kEditReadOnly = 0x0800;
inline constexpr uint32_t kEditNumber = 0x2000;
inline constexpr uint32_t kComboSort = 0x0100;

// The limit of an edit box nobody has limited, and of EM_LIMITTEXT 0.
inline constexpr size_t kDefaultEditLimit = 32767;
inline constexpr size_t kNoEditLimit = 0x7FFFFFFE;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Menu item flags of the add-menu-item service.
inline constexpr int kMenuGreyed = 1;
inline constexpr int kMenuDisabled = 2;

constexpr uintptr_t CommandParam(int controlId, unsigned notification) {
    return (static_cast<uintptr_t>(notification & 0xFFFF) << 16) |
           (static_cast<uintptr_t>(controlId) & 0xFFFF);
}
}  // namespace win

enum class ControlKind {
    PushButton,
    CheckBox,
    RadioButton,
    GroupBox,
    Edit,
    Static,
    ComboBox,
    Other
};

// A snapshot of one control, for tests and for kiln-host's display.
struct ControlState {
    Window handle = nullptr;
    int id = 0;
    ControlKind kind = ControlKind::Other;
    std::string className;
    uint32_t style = 0;
    std::wstring text;
    bool enabled = true;
    bool visible = true;
    int checked = 0;                        // 0, 1, or 2 (indeterminate)
    size_t limit = win::kDefaultEditLimit;  // edits: characters the user may type
    std::vector<std::wstring> items;        // combo boxes
    int selection = -1;
    bool styled = false;  // the host's button styling was applied
};

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

// A registered preference page, as the plug-in gave it.
struct PageInfo {
    intptr_t id = 0;
    Instance instance = nullptr;
    int flags = 0;  // for a single page, the value in the dialog id's place
    std::wstring name;
    // Dialog id and routine per tab; a single page has one record (the one
    // it was registered with, or its dialog id and no routine).
    std::vector<PrefsTab> tabs;
    std::vector<std::wstring> tabNames;
    int parent = 0;
    PagePositionProc position = nullptr;
    CreateDialogProc create = nullptr;
    int visible = 0;
    LocalisationService* localisation = nullptr;
    int group = 0;
    int pageCode = 0;
    bool tabsFinalised = false;
    int finaliseFlags = 0;

    bool Tabbed() const { return tabs.size() > 1; }
};

class WindowSystem {
  public:
    using MainWindowHandler = std::function<void(unsigned, uintptr_t, intptr_t)>;
    using TemplateFinder = std::function<const res::DialogEntry*(Instance, int dialogId)>;
    using MenuChooser = std::function<int(const std::vector<MenuItem>&)>;
    using FolderResponder = std::function<std::optional<std::wstring>(const FolderRequest&)>;
    using AboutObserver = std::function<void(const AboutRecord&)>;
    using UrlObserver = std::function<void(const std::wstring&)>;

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

    // -- links, styling, folders, About, URLs

    // The control's text as a printf format with the address as its one %s
    // ("%%" reads "%"), as the link control of a Windows host shows it.
    bool SetLinkText(Window page, int controlId, const wchar_t* address);
    // A non-null token for a known control; `previous` is retired.
    void* StyleButton(Window page, int controlId, void* previous);

    // Without a responder the user cancels: 0. With an answer, copies it into
    // folder (bounded) and returns 1.
    int BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size);
    void SetFolderResponder(FolderResponder responder);
    std::optional<FolderRequest> LastFolderRequest() const;

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
    void MenuPosition(Window* owner, int* x, int* y) const;
    // Asks the chooser (default: dismissed); the chosen id, or 0 when the menu
    // was dismissed or the id is not a selectable item of the menu.
    int TrackPopupMenu(Menu menu, Window owner, int x, int y);
    bool DestroyMenu(Menu menu);
    void SetMenuChooser(MenuChooser chooser);
    std::optional<std::vector<MenuItem>> LastMenuShown() const;
    int LiveMenus() const;

    // -- message boxes

    // Recorded; answered by the next queued answer, else by the box's
    // cancelling button (No for yes/no boxes, OK for a plain one).
    int MessageBox(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags);
    void QueueMessageBoxAnswer(int answer);
    std::vector<MessageBoxRecord> MessageBoxes() const;

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
    Window NewHandleLocked();
    WindowRecord* FindLocked(Window window);
    const WindowRecord* FindLocked(Window window) const;
    ControlState* FindControlLocked(Window dialog, int controlId);
    const ControlState* FindControlLocked(Window dialog, int controlId) const;
    bool PostLocked(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    // Runs one due message or timer; false when nothing was due.
    bool DispatchOne(Clock::time_point now, uint64_t lastSeq);
    intptr_t Deliver(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    // The command a control sends its dialog.
    void Notify(Window dialog, int controlId, Window control, unsigned notification);
    void NotifyEditChangeIfOneLine(Window dialog, const ControlState& control);
    intptr_t ComboMessageLocked(ControlState& control, unsigned message, uintptr_t wParam,
                                intptr_t lParam);
    bool CreatePageDialog(intptr_t pageId, int tab);
    void DestroyOpenPageDialog();

    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    std::atomic<std::thread::id> mainThread_;
    Window mainWindow_ = nullptr;

    // -- protected by mutex_
    uintptr_t nextHandle_ = 0x10000;
    uint64_t changes_ = 0;  // bumped by everything that should wake the loop
    std::map<uintptr_t, WindowRecord> windows_;
    MainWindowHandler mainHandler_;
    MessageHookProc hook_ = nullptr;
    std::deque<Posted> queue_;
    uint64_t lastSeq_ = 0;
    bool quitRequested_ = false;
    uint64_t quitSeq_ = 0;
    std::map<TimerKey, TimerRecord> timers_;
    uintptr_t nextThreadTimerId_ = 0x7F00;
    std::map<std::string, unsigned> registered_;
    unsigned nextRegistered_ = 0xC000;

    TemplateFinder finder_;
    std::map<intptr_t, PageInfo> pages_;
    Window preferences_ = nullptr;
    intptr_t openPage_ = 0;
    int openTab_ = 0;
    Window openDialog_ = nullptr;
    intptr_t creatingPage_ = 0;

    FolderResponder folderResponder_;
    std::optional<FolderRequest> lastFolderRequest_;
    AboutObserver aboutObserver_;
    std::optional<AboutRecord> lastAbout_;
    UrlObserver urlObserver_;
    std::vector<std::wstring> openedUrls_;

    std::map<uintptr_t, std::vector<MenuItem>> menus_;
    MenuChooser menuChooser_;
    std::optional<std::vector<MenuItem>> lastMenu_;

    std::deque<int> boxAnswers_;
    std::vector<MessageBoxRecord> boxes_;
};

}  // namespace kiln::host
