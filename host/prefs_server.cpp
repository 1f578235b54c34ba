#include "host/prefs_server.h"

#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif
#include <fcntl.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "host/prefs_assets.h"
#include "host/prefs_gate.h"
#include "host/prefs_view.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/text_services.h"

extern char** environ;

namespace kiln::host {
namespace {

using namespace std::chrono_literals;
using namespace gate;

std::string RandomToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::abort();  // no token is better than a guessable one
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

void Refuse(httplib::Response& response, int status, const char* why) {
    response.status = status;
    response.set_content(why, "text/plain");
}

std::string Json(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return buffer.GetString();
}

// Actions are flat objects.
constexpr int kMaxJsonDepth = 16;
constexpr size_t kMaxListSelection = 10000;

// How deep arrays and objects nest, counted without parsing (strings
// skipped), so that a body cannot make any parser dig deep.
int NestingDepth(std::string_view json) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

PrefsServer::PrefsServer(SubstituteHost& host)
    : host_(host),
      windows_(host.Windows()),
      router_(std::make_unique<Router>()),
      token_(RandomToken()),
      taskMessage_(windows_.RegisterMessage("kiln-prefs-task")) {
    Attach();
    router_->set_payload_max_length(kMaxBody);
    // What the answers' Keep-Alive header announces: the gate enforces it.
    router_->set_keep_alive_max_count(kMaxRequestsPerConnection);
    router_->set_keep_alive_timeout(std::chrono::seconds(kRequestTime).count());
    router_->set_default_headers({
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"},
    });
    Route();
}

void PrefsServer::Attach() {
    windows_.SetChangeObserver([this](Window, int) { Changed(); });
    windows_.SetMessageBoxResponder([this](const MessageBoxRecord& box) -> std::optional<int> {
        auto answer = Ask(PrefsModal{.kind = "box",
                                     .title = WideToUtf8(box.title),
                                     .text = WideToUtf8(box.text),
                                     .flags = box.flags});
        if (!answer) {
            return std::nullopt;
        }
        return std::atoi(answer->c_str());
    });
    windows_.SetMainWindowHandler([this](unsigned message, uintptr_t, intptr_t) {
        if (message == taskMessage_) {
            RunTasks();
        }
    });
    windows_.SetFolderResponder(
        [this](const FolderRequest& request) -> std::optional<std::wstring> {
            PrefsModal modal{.kind = "folder",
                             .title = WideToUtf8(request.title),
                             .text = WideToUtf8(request.startFolder)};
            auto answer = Ask(std::move(modal));
            std::error_code error;
            if (!answer || !std::filesystem::is_directory(*answer, error)) {
                return std::nullopt;
            }
            return Utf8ToWide(*answer);
        });
    windows_.SetSaveResponder([this](const FolderRequest& request) -> std::optional<std::wstring> {
        // A bare name is offered in the home folder.
        std::string suggested = WideToUtf8(request.startFolder);
        const char* home = std::getenv("HOME");
        if (!suggested.empty() && suggested.front() != '/' && home && *home == '/') {
            suggested = (std::filesystem::path(home) / suggested).string();
        }
        PrefsModal modal{.kind = "save", .title = WideToUtf8(request.title), .text = suggested};
        auto answer = Ask(std::move(modal));
        // A file in a folder that exists, named by its whole path.
        std::error_code error;
        if (!answer || answer->empty() || answer->front() != '/' || answer->back() == '/' ||
            !std::filesystem::is_directory(std::filesystem::path(*answer).parent_path(), error)) {
            return std::nullopt;
        }
        return Utf8ToWide(*answer);
    });
    windows_.SetMenuChooser([this](const std::vector<MenuItem>& items) {
        auto answer = Ask(PrefsModal{.kind = "menu", .items = items});
        return answer ? std::atoi(answer->c_str()) : 0;
    });
    windows_.SetAboutObserver([this](const AboutRecord& about) {
        {
            MutexLock lock(mutex_);
            if (clients_ == 0) {
                return;  // nobody to show it to, and nobody to close it later
            }
            modals_.push_back(PrefsModal{.id = nextModal_++,
                                         .kind = "about",
                                         .title = WideToUtf8(about.title),
                                         .text = WideToUtf8(about.text)});
            ++version_;
        }
        Wake();
    });
}

PrefsServer::~PrefsServer() {
    Stop();
    windows_.SetMainWindowHandler(nullptr);
    windows_.SetFolderResponder(nullptr);
    windows_.SetSaveResponder(nullptr);
    windows_.SetMenuChooser(nullptr);
    windows_.SetAboutObserver(nullptr);
    windows_.SetChangeObserver(nullptr);
    windows_.SetMessageBoxResponder(nullptr);
}

std::string PrefsServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + token_ + "/";
}

void PrefsServer::Changed() {
    {
        MutexLock lock(mutex_);
        ++version_;
    }
    Wake();
}

struct PrefsServer::Task {
    std::function<void()> work;
    uint64_t ticket = 0;
};

uint64_t PrefsServer::OnMain(std::function<void()> work) {
    uint64_t ticket = 0;
    {
        MutexLock lock(mutex_);
        if (stopping_) {
            return 0;
        }
        ticket = ++tickets_;
        unfinished_.insert(ticket);
        tasks_.push_back(std::make_shared<Task>(Task{std::move(work), ticket}));
        ++version_;  // the page shows that something is on its way
    }
    Wake();
    if (!windows_.PostMessage(windows_.MainWindow(), taskMessage_, 0, 0)) {
        return 0;
    }
    return ticket;
}

void PrefsServer::RunTasks() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            MutexLock lock(mutex_);
            if (tasks_.empty()) {
                break;
            }
            task = tasks_.front();
            tasks_.pop_front();
        }
        task->work();
        {
            MutexLock lock(mutex_);
            unfinished_.erase(task->ticket);
        }
        Changed();
    }
}

std::optional<std::string> PrefsServer::Ask(PrefsModal modal) {
    uint64_t id = 0;
    {
        MutexLock lock(mutex_);
        if (stopping_ || clients_ == 0) {
            return std::nullopt;  // nobody could answer
        }
        id = modal.id = nextModal_++;
        modals_.push_back(std::move(modal));
        ++version_;
    }
    Wake();
    // The loop keeps running, as under a Windows modal box: timers, posts and
    // the page's own answer are delivered meanwhile.
    windows_.RunUntil(
        [this, id] {
            MutexLock lock(mutex_);
            return answers_.count(id) != 0;
        },
        std::chrono::milliseconds::max());
    std::optional<std::string> answer;
    {
        MutexLock lock(mutex_);
        answer = answers_[id];
        answers_.erase(id);
        std::erase_if(modals_, [id](const PrefsModal& m) { return m.id == id; });
        ++version_;
    }
    Wake();
    return answer;
}

void PrefsServer::ClientGone() {
    {
        MutexLock lock(mutex_);
        if (--clients_ > 0 || stopping_) {
            return;
        }
        // Nobody is left to answer: whatever waits is cancelled, and the
        // window closes as when the user closes it.
        for (const auto& modal : modals_) {
            if (modal.kind != "about") {
                answers_.emplace(modal.id, std::nullopt);
            }
        }
    }
    windows_.Wake();
    OnMain([this] {
        bool nobody = false;
        {
            MutexLock lock(mutex_);
            nobody = clients_ == 0;
        }
        if (nobody) {
            windows_.ClosePreferences();
        }
    });
}

bool PrefsServer::Allowed(const httplib::Request& request, httplib::Response& response) const {
    const std::string port = std::to_string(port_);
    const std::string host = request.get_header_value("Host");
    // A name that resolves to us but is not ours is a rebinding attempt.
    if (host != "127.0.0.1:" + port && host != "localhost:" + port) {
        Refuse(response, 403, "unknown host\n");
        return false;
    }
    // The icon is the same for everyone, and browsers ask for it without
    // the token.
    if (request.path == "/favicon.ico" && request.method == "GET") {
        return true;
    }
    const std::string prefix = "/" + token_ + "/";
    if (request.path.size() < prefix.size() ||
        CRYPTO_memcmp(request.path.data(), prefix.data(), prefix.size()) != 0) {
        Refuse(response, 403, "missing or wrong token\n");
        return false;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        // Only the page itself may change anything; a simple cross-site form
        // cannot send this content type either.
        if (request.get_header_value("Origin") != "http://" + host ||
            request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            Refuse(response, 403, "foreign origin\n");
            return false;
        }
    }
    return true;
}

void PrefsServer::Route() {
    router_->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            return Allowed(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                              : httplib::Server::HandlerResponse::Handled;
        });
    const std::string base = "/" + token_ + "/";
    // The gate writes the event streams: the worker only hands the
    // connection over, so that no open page holds one.
    router_->Get(base + "events",
                 [](const httplib::Request&, httplib::Response&) { gate::ClaimForStream(); });
    router_->Get(base + "folders", [this](const httplib::Request& request,
                                          httplib::Response& response) {
        {
            MutexLock lock(mutex_);
            if (std::none_of(modals_.begin(), modals_.end(),
                             [](const PrefsModal& m) { return m.kind == "folder"; })) {
                Refuse(response, 409, "no folder is being chosen\n");
                return;
            }
        }
        namespace fs = std::filesystem;
        std::error_code error;
        fs::path path = fs::weakly_canonical(request.get_param_value("path"), error);
        // A folder not made yet starts the walk at its nearest existing parent.
        if (error || !path.is_absolute()) {
            const char* home = std::getenv("HOME");
            path = home && *home ? home : "/";
        }
        while (!fs::is_directory(path, error) && path != path.parent_path()) {
            path = path.parent_path();
        }
        rapidjson::Document out(rapidjson::kObjectType);
        auto& a = out.GetAllocator();
        out.AddMember("path", rapidjson::Value(path.string(), a), a);
        out.AddMember("parent", rapidjson::Value(path.parent_path().string(), a), a);
        std::vector<std::string> names;
        for (fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error),
             end;
             !error && it != end; it.increment(error)) {
            if (it->is_directory(error)) {
                names.push_back(it->path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        rapidjson::Value list(rapidjson::kArrayType);
        for (const auto& name : names) {
            list.PushBack(rapidjson::Value(name, a), a);
        }
        out.AddMember("folders", list, a);
        response.set_content(Json(out), "application/json");
    });
    router_->Post(base + "do", [this](const httplib::Request& request,
                                      httplib::Response& response) { Action(request, response); });
    router_->Get("/favicon.ico", [](const httplib::Request&, httplib::Response& response) {
        const PrefsAsset* icon = FindPrefsAsset("icon.svg");
        response.set_content(reinterpret_cast<const char*>(icon->bytes.data()), icon->bytes.size(),
                             icon->type);
    });
    // Everything else under the token is one of the page's own assets, or
    // nothing: the files are built into the program, never read from disk.
    router_->Get(base + ".*", [base](const httplib::Request& request, httplib::Response& response) {
        std::string name = request.path.substr(base.size());
        const PrefsAsset* asset = FindPrefsAsset(name.empty() ? "index.html" : name);
        if (!asset) {
            Refuse(response, 404, "not found\n");
            return;
        }
        response.set_content(reinterpret_cast<const char*>(asset->bytes.data()),
                             asset->bytes.size(), asset->type);
    });
}

std::string PrefsServer::StateJson() {
    rapidjson::Document modals(rapidjson::kArrayType);
    auto& a = modals.GetAllocator();
    rapidjson::Value edits(rapidjson::kObjectType);
    const auto open = reinterpret_cast<uintptr_t>(windows_.OpenPageDialog());
    rapidjson::Value unfinished(rapidjson::kArrayType);
    uint64_t issued = 0;
    {
        MutexLock lock(mutex_);
        // A ticket issued by then and not among these is done.
        issued = tickets_;
        for (uint64_t ticket : unfinished_) {
            unfinished.PushBack(ticket, a);
        }
        // Taken before the fields' texts: a text is then never older than
        // the edit it is reported with.
        if (open == editsDialog_) {
            for (const auto& [id, edit] : edits_) {
                rapidjson::Value entry(rapidjson::kObjectType);
                entry.AddMember("client", rapidjson::Value(edit.first, a), a);
                entry.AddMember("n", edit.second, a);
                edits.AddMember(rapidjson::Value(std::to_string(id), a), entry, a);
            }
        }
        for (const auto& modal : modals_) {
            rapidjson::Value m(rapidjson::kObjectType);
            m.AddMember("id", modal.id, a);
            m.AddMember("kind", rapidjson::Value(modal.kind, a), a);
            m.AddMember("title", rapidjson::Value(modal.title, a), a);
            m.AddMember("text", rapidjson::Value(modal.text, a), a);
            m.AddMember("flags", modal.flags, a);
            rapidjson::Value items(rapidjson::kArrayType);
            for (const auto& item : modal.items) {
                rapidjson::Value entry(rapidjson::kObjectType);
                entry.AddMember("id", item.id, a);
                entry.AddMember("text", rapidjson::Value(WideToUtf8(item.text), a), a);
                entry.AddMember("separator", item.separator, a);
                entry.AddMember("enabled", item.Selectable(), a);
                items.PushBack(entry, a);
            }
            m.AddMember("items", items, a);
            modals.PushBack(m, a);
        }
    }
    std::string follower;
    {
        MutexLock lock(mutex_);
        if (!followerState_.empty()) {
            follower = ",\"follower\":" + followerState_;
        }
    }
    return "{\"modals\":" + Json(modals) + ",\"edits\":" + Json(edits) +
           ",\"issued\":" + std::to_string(issued) + ",\"unfinished\":" + Json(unfinished) + "," +
           PrefsViewMembers(host_) + follower + "}";
}

void PrefsServer::Action(const httplib::Request& request, httplib::Response& response) {
    // Actions are flat; a deeply nested body is refused before any parsing,
    // and the parser never recurses anyway.
    rapidjson::Document body;
    if (NestingDepth(request.body) > kMaxJsonDepth) {
        Refuse(response, 400, "nested too deeply\n");
        return;
    }
    body.Parse<rapidjson::kParseIterativeFlag>(request.body.c_str(), request.body.size());
    if (body.HasParseError() || !body.IsObject() || !body.HasMember("action") ||
        !body["action"].IsString()) {
        Refuse(response, 400, "an object with an action\n");
        return;
    }
    auto number = [&](const char* name) -> int64_t {
        return body.HasMember(name) && body[name].IsInt64() ? body[name].GetInt64() : -1;
    };
    auto text = [&](const char* name) -> std::optional<std::string> {
        if (!body.HasMember(name) || !body[name].IsString()) {
            return std::nullopt;
        }
        return std::string(body[name].GetString(), body[name].GetStringLength());
    };
    const std::string action = body["action"].GetString();
    const int64_t page = number("page");
    const int tab = static_cast<int>(number("tab"));
    const auto dialog = reinterpret_cast<Window>(static_cast<uintptr_t>(number("dialog")));
    const int id = static_cast<int>(number("id"));
    const int index = static_cast<int>(number("index"));
    const std::wstring typed = Utf8ToWide(text("text").value_or(""));

    if (action == "answer") {
        const auto modal = static_cast<uint64_t>(number("modal"));
        const std::optional<std::string> answer = text("answer");
        {
            MutexLock lock(mutex_);
            auto it = std::find_if(modals_.begin(), modals_.end(),
                                   [&](const PrefsModal& m) { return m.id == modal; });
            if (it == modals_.end()) {
                Refuse(response, 409, "nothing waits for that answer\n");
                return;
            }
            if (it->kind == "about") {
                modals_.erase(it);
            } else {
                answers_.emplace(modal, answer);
            }
            ++version_;
        }
        Wake();
        windows_.Wake();
        response.status = 204;
        return;
    }
    // A control of a page the user no longer sees is not touched.
    auto onOpenDialog = [this, dialog](std::function<void()> work) {
        return [this, dialog, work] {
            if (dialog && windows_.OpenPageDialog() == dialog) {
                work();
            }
        };
    };
    std::function<void()> work;
    if (action == "open") {
        work = [this, page, tab] { windows_.OpenPage(page, tab); };
    } else if (action == "close") {
        work = [this] { windows_.ClosePreferences(); };
    } else if (action == "menu") {
        work = [this] { host_.ConfigPlugin(); };
    } else if (action == "click") {
        work = onOpenDialog([this, dialog, id] { windows_.ClickButton(dialog, id); });
    } else if (action == "type") {
        const int64_t edit = number("edit");
        std::string client = text("client").value_or("").substr(0, 64);
        work = onOpenDialog([this, dialog, id, typed, edit, client] {
            windows_.TypeText(dialog, id, typed);
            MutexLock lock(mutex_);
            const auto handle = reinterpret_cast<uintptr_t>(dialog);
            if (editsDialog_ != handle) {
                edits_.clear();
                editsDialog_ = handle;
            }
            edits_[id] = {client, edit};
        });
    } else if (action == "select") {
        work = onOpenDialog([this, dialog, id, index] { windows_.SelectCombo(dialog, id, index); });
    } else if (action == "selectlist") {
        // The items the user has selected now, all of them.
        std::vector<int> indices;
        if (body.HasMember("indices") && body["indices"].IsArray()) {
            for (const auto& value : body["indices"].GetArray()) {
                if (!value.IsInt() || indices.size() >= kMaxListSelection) {
                    Refuse(response, 400, "indices are a short list of item numbers\n");
                    return;
                }
                indices.push_back(value.GetInt());
            }
        }
        work = onOpenDialog(
            [this, dialog, id, indices] { windows_.SelectListItems(dialog, id, indices); });
    } else if (action == "link") {
        work = onOpenDialog([this, dialog, id, index] { windows_.ClickLink(dialog, id, index); });
    } else if (action == "follower" && text("players") && text("ignored")) {
        std::function<void(const std::string&, const std::string&)> change;
        {
            MutexLock lock(mutex_);
            change = followerChange_;
        }
        if (!change) {
            Refuse(response, 404, "no follower here\n");
            return;
        }
        work = [change, players = *text("players"), ignored = *text("ignored")] {
            change(players, ignored);
        };
    } else {
        Refuse(response, 400, "unknown action\n");
        return;
    }
    // Answered at once: the action may wait for the user (a message box),
    // and its outcome reaches the page as an event anyway.
    const uint64_t ticket = OnMain(std::move(work));
    if (ticket == 0) {
        Refuse(response, 503, "the main loop is not running\n");
        return;
    }
    response.status = 202;
    response.set_content("{\"ticket\":" + std::to_string(ticket) + "}", "application/json");
}

void PrefsServer::SetFollowerPage(
    std::string state,
    std::function<void(const std::string& players, const std::string& ignored)> change) {
    {
        MutexLock lock(mutex_);
        followerChange_ = std::move(change);
    }
    SetFollowerState(std::move(state));
}

void PrefsServer::SetFollowerState(std::string state) {
    {
        MutexLock lock(mutex_);
        followerState_ = std::move(state);
    }
    Changed();
}

bool PrefsServer::OpenInBrowser() {
    auto present = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (!present("DISPLAY") && !present("WAYLAND_DISPLAY")) {
        return false;
    }
    if (redirect_.empty()) {
        redirect_ = WritePrivateRedirect(Address(), &redirectFolder_);
        if (redirect_.empty()) {
            return false;
        }
    }
    return OpenInDesktop(redirect_);
}

std::string WritePrivateRedirect(const std::string& address, std::string* madeFolder) {
    // The session's runtime folder is this user's alone; without one, a
    // folder of our own in /tmp is.
    namespace fs = std::filesystem;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    std::error_code error;
    if (runtime && *runtime == '/' && fs::is_directory(runtime, error)) {
        folder = runtime;
    } else {
        std::string made = (fs::temp_directory_path(error) / "kiln-host-XXXXXX").string();
        if (!::mkdtemp(made.data())) {
            return {};
        }
        folder = made;
        if (madeFolder) {
            *madeFolder = made;
        }
    }
    const std::string path = folder + "/kiln-prefs-" + RandomToken().substr(0, 12) + ".html";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return {};
    }
    const std::string page =
        "<!doctype html><meta charset=\"utf-8\"><title>Preferences</title>"
        "<meta http-equiv=\"refresh\" content=\"0;url=" +
        address + "\"><a href=\"" + address + "\">Preferences</a>\n";
    const bool written = ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
    ::close(fd);
    if (!written) {
        fs::remove(path, error);
        return {};
    }
    return path;
}

bool OpenInDesktop(const std::string& address) {
    auto present = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (!present("DISPLAY") && !present("WAYLAND_DISPLAY")) {
        return false;
    }
    pid_t child = 0;
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(address.c_str()), nullptr};
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0) {
        return false;
    }
    std::thread([child] { waitpid(child, nullptr, 0); }).detach();
    return true;
}

}  // namespace kiln::host
