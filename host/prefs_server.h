// kiln-host's preferences window in the browser: a small web server on
// 127.0.0.1 that shows the window system's preference pages, laid out from the
// plug-in's dialog templates, and turns what the user does there into the
// messages the dialog routines receive.
//
// The browser is only a view. The state lives in the WindowSystem; every
// action runs on the host's main thread (posted to the main window), and every
// change is pushed to the page as a server-sent event. Boxes, menus and the
// folder dialog that a routine waits for become modal dialogs in the page,
// answered there while the main loop keeps running.
//
// Access: bound to the loopback address only, every path carries a random
// token made per run, the Host header must name this server (no DNS
// rebinding), requests that change something must come from the page's own
// origin, and nothing is served but the page's own assets.
//
// Clients cannot starve it: one gate thread reads every request in full,
// without blocking, within a deadline and under size caps, and writes every
// event stream; a few workers answer complete requests through httplib's
// parser and routes. No client ever holds a worker while it dawdles, and the
// main loop never waits on a client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"
#include "host/window_system.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace kiln::host {

class SubstituteHost;

// What a waiting routine asks the user in the page.
struct PrefsModal {
    uint64_t id = 0;
    std::string kind;  // "box", "folder", "menu", "about"
    std::string title;
    std::string text;             // box and About text; the folder dialog's start folder
    unsigned flags = 0;           // message box flags
    std::vector<MenuItem> items;  // menu
};

class PrefsServer {
  public:
    // Attaches to the host's window system: sets the main window handler,
    // the change observer, and the responders for boxes, menus and folders
    // (which answer "cancel" when no page is watching or the page went away).
    explicit PrefsServer(SubstituteHost& host);
    ~PrefsServer();
    PrefsServer(const PrefsServer&) = delete;
    PrefsServer& operator=(const PrefsServer&) = delete;

    // (Re)installs those handlers, after someone else borrowed one.
    void Attach();

    // Listens on 127.0.0.1:port (0: a free one). False when it cannot bind,
    // with the reason in *error.
    bool Start(int port = 0, std::string* error = nullptr);
    void Stop();
    int Port() const { return port_; }
    // The address with the run's token, e.g. http://127.0.0.1:PORT/TOKEN/
    std::string Address() const;
    // Opens the page in the desktop's browser. The opener is handed a file
    // only this user can read, which forwards to the address, so that the
    // token never shows on a command line. False without a desktop.
    bool OpenInBrowser();

    // Something the page shows changed: wakes the event streams. Any thread.
    void Changed();

    // kiln-host's own page, the players its follower follows: `state` is what
    // the page shows (a JSON object), set again by whoever changes it; the
    // page's changes, the two lists as typed, go to `change` on the main
    // thread. Without it the page has no such page.
    void SetFollowerPage(
        std::string state,
        std::function<void(const std::string& players, const std::string& ignored)> change);
    void SetFollowerState(std::string state);

  private:
    struct Task;
    struct Router;
    struct Connection;
    using ConnectionPtr = std::unique_ptr<Connection>;
    void Gate();
    void Work();
    void Wake();
    // Hands a connection to the gate: to read its next request, or to write
    // it the event stream.
    void HandBack(ConnectionPtr connection, bool stream);
    // Queues `work` for the main thread, without waiting for it. Returns its
    // ticket, which the page's state lists until the work is done; 0 when
    // it cannot run (stopping).
    uint64_t OnMain(std::function<void()> work);
    void RunTasks();
    // Shows the modal and runs the main loop until it is answered; nullopt
    // when it was cancelled.
    std::optional<std::string> Ask(PrefsModal modal);
    bool Allowed(const httplib::Request& request, httplib::Response& response) const;
    void Route();
    std::string StateJson();
    void Action(const httplib::Request& request, httplib::Response& response);
    void ClientGone();

    SubstituteHost& host_;
    WindowSystem& windows_;
    std::unique_ptr<Router> router_;
    std::thread gate_;
    std::vector<std::thread> workers_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd that interrupts the gate's poll
    int port_ = 0;
    std::string token_;
    std::string redirect_;        // the private file that forwards to the address
    std::string redirectFolder_;  // made for it when the session has no runtime folder
    unsigned taskMessage_ = 0;
    std::atomic<bool> quitting_{false};

    Mutex mutex_;
    std::condition_variable work_;
    uint64_t version_ GUARDED_BY(mutex_) = 1;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::deque<ConnectionPtr> jobs_ GUARDED_BY(mutex_);
    std::vector<std::pair<ConnectionPtr, bool>> handedBack_ GUARDED_BY(mutex_);
    // The last edit of each field of the open page: the page's id and its
    // number for it, so that a page can tell the echo of an older keystroke
    // from that of its latest.
    std::map<int, std::pair<std::string, int64_t>> edits_ GUARDED_BY(mutex_);
    uintptr_t editsDialog_ GUARDED_BY(mutex_) = 0;
    int clients_ GUARDED_BY(mutex_) = 0;
    std::deque<std::shared_ptr<Task>> tasks_ GUARDED_BY(mutex_);
    uint64_t tickets_ GUARDED_BY(mutex_) = 0;
    // Tasks queued or under way (one may wait for a box, or a web service).
    std::set<uint64_t> unfinished_ GUARDED_BY(mutex_);
    // The modal the main thread waits for (boxes, menus, folders stack up
    // when one routine's answer leads to another), and About boxes, which
    // nobody waits for.
    std::vector<PrefsModal> modals_ GUARDED_BY(mutex_);
    std::map<uint64_t, std::optional<std::string>> answers_ GUARDED_BY(mutex_);
    uint64_t nextModal_ GUARDED_BY(mutex_) = 1;
    std::string followerState_ GUARDED_BY(mutex_);
    std::function<void(const std::string&, const std::string&)> followerChange_ GUARDED_BY(mutex_);
};

// The opener of addresses: xdg-open when a desktop session is present.
// Returns false when no desktop is present or the opener could not run.
bool OpenInDesktop(const std::string& address);

// Writes a file only this user can read (mode 0600, in the session's runtime
// folder, else a private folder made in /tmp and named in *madeFolder) that
// forwards a browser to `address`, so that the token never stands on a
// command line. Its path, or empty on failure.
std::string WritePrivateRedirect(const std::string& address, std::string* madeFolder);

}  // namespace kiln::host
