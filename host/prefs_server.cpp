#include "host/prefs_server.h"

#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "host/prefs_assets.h"
#include "host/prefs_view.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/text_services.h"

extern char** environ;

namespace kiln::host {
namespace {

using namespace std::chrono_literals;

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

}  // namespace

PrefsServer::PrefsServer(SubstituteHost& host)
    : host_(host),
      windows_(host.Windows()),
      server_(std::make_unique<httplib::Server>()),
      token_(RandomToken()),
      taskMessage_(windows_.RegisterMessage("kiln-prefs-task")) {
    Attach();
    // Events stream for as long as a page is open: more workers than the
    // default, so that a few open tabs never starve the actions.
    server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_->set_default_headers({
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
    windows_.SetMenuChooser([this](const std::vector<MenuItem>& items) {
        auto answer = Ask(PrefsModal{.kind = "menu", .items = items});
        return answer ? std::atoi(answer->c_str()) : 0;
    });
    windows_.SetAboutObserver([this](const AboutRecord& about) {
        MutexLock lock(mutex_);
        if (clients_ == 0) {
            return;  // nobody to show it to, and nobody to close it later
        }
        modals_.push_back(PrefsModal{.id = nextModal_++,
                                     .kind = "about",
                                     .title = WideToUtf8(about.title),
                                     .text = WideToUtf8(about.text)});
        ++version_;
        changed_.notify_all();
    });
}

PrefsServer::~PrefsServer() {
    Stop();
    windows_.SetMainWindowHandler(nullptr);
    windows_.SetFolderResponder(nullptr);
    windows_.SetMenuChooser(nullptr);
    windows_.SetAboutObserver(nullptr);
    windows_.SetChangeObserver(nullptr);
    windows_.SetMessageBoxResponder(nullptr);
}

bool PrefsServer::Start(int port) {
    if (thread_.joinable()) {
        return true;
    }
    port_ = port > 0 ? (server_->bind_to_port("127.0.0.1", port) ? port : -1)
                     : server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        port_ = 0;
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // httplib forgets a stop() that comes before its accept loop has started,
    // and the join at Stop() would then hang: wait until it runs.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
    return true;
}

void PrefsServer::Stop() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        for (const auto& modal : modals_) {
            answers_.emplace(modal.id, std::nullopt);
        }
        changed_.notify_all();
    }
    windows_.Wake();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::string PrefsServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + token_ + "/";
}

void PrefsServer::Changed() {
    MutexLock lock(mutex_);
    ++version_;
    changed_.notify_all();
}

struct PrefsServer::Task {
    std::function<void()> work;
};

bool PrefsServer::OnMain(std::function<void()> work) {
    {
        MutexLock lock(mutex_);
        if (stopping_) {
            return false;
        }
        tasks_.push_back(std::make_shared<Task>(Task{std::move(work)}));
    }
    return windows_.PostMessage(windows_.MainWindow(), taskMessage_, 0, 0);
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
        changed_.notify_all();
    }
    // The loop keeps running, as under a Windows modal box: timers, posts and
    // the page's own answer are delivered meanwhile.
    windows_.RunUntil(
        [this, id] {
            MutexLock lock(mutex_);
            return answers_.count(id) != 0;
        },
        std::chrono::milliseconds::max());
    MutexLock lock(mutex_);
    std::optional<std::string> answer = answers_[id];
    answers_.erase(id);
    std::erase_if(modals_, [id](const PrefsModal& m) { return m.id == id; });
    ++version_;
    changed_.notify_all();
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
    server_->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            return Allowed(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                              : httplib::Server::HandlerResponse::Handled;
        });
    const std::string base = "/" + token_ + "/";
    server_->Get(base + "events", [this](const httplib::Request&, httplib::Response& response) {
        {
            MutexLock lock(mutex_);
            ++clients_;
        }
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, sent = std::string(), quiet = 0](size_t, httplib::DataSink& sink) mutable {
                {
                    MutexLock lock(mutex_);
                    const uint64_t seen = version_;
                    // Changes the observers report wake the stream at once;
                    // the wait also catches the few they do not (pages
                    // registered later). A new page gets the state straight
                    // away.
                    if (!sent.empty()) {
                        changed_.wait_for(lock.native(), 1s, [&]() REQUIRES(mutex_) {
                            return stopping_ || version_ != seen;
                        });
                    }
                    if (stopping_) {
                        return false;
                    }
                }
                std::string state = StateJson();
                if (state == sent) {
                    if (++quiet < 15) {
                        return sink.is_writable();
                    }
                    quiet = 0;
                    static constexpr char kKeepAlive[] = ": still here\n\n";
                    return sink.write(kKeepAlive, sizeof kKeepAlive - 1);
                }
                quiet = 0;
                sent = state;
                const std::string event = "data: " + state + "\n\n";
                return sink.write(event.data(), event.size());
            },
            [this](bool) { ClientGone(); });
    });
    server_->Get(base + "folders", [this](const httplib::Request& request,
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
    server_->Post(base + "do", [this](const httplib::Request& request,
                                      httplib::Response& response) { Action(request, response); });
    // Everything else under the token is one of the page's own assets, or
    // nothing: the files are built into the program, never read from disk.
    server_->Get(base + ".*", [base](const httplib::Request& request, httplib::Response& response) {
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
    {
        MutexLock lock(mutex_);
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
    return "{\"modals\":" + Json(modals) + "," + PrefsViewMembers(host_) + "}";
}

void PrefsServer::Action(const httplib::Request& request, httplib::Response& response) {
    rapidjson::Document body;
    body.Parse(request.body.c_str(), request.body.size());
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
            changed_.notify_all();
        }
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
        work = onOpenDialog([this, dialog, id, typed] { windows_.TypeText(dialog, id, typed); });
    } else if (action == "select") {
        work = onOpenDialog([this, dialog, id, index] { windows_.SelectCombo(dialog, id, index); });
    } else if (action == "link") {
        work = onOpenDialog([this, dialog, id, index] { windows_.ClickLink(dialog, id, index); });
    } else {
        Refuse(response, 400, "unknown action\n");
        return;
    }
    // Answered at once: the action may wait for the user (a message box),
    // and its outcome reaches the page as an event anyway.
    response.status = OnMain(std::move(work)) ? 202 : 503;
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
