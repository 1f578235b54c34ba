#include "host/prefs_server.h"

#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

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

using Clock = std::chrono::steady_clock;

// What one client may ask of the server. Actions are a few hundred bytes;
// the page's own requests carry a browser's usual headers.
constexpr size_t kMaxHead = 16 * 1024;
constexpr size_t kMaxBody = 64 * 1024;
constexpr int kMaxJsonDepth = 16;
// A request arrives whole within this time of its connection's start or of
// the previous answer, or the connection is closed: one byte now and then
// keeps nothing open.
constexpr auto kRequestTime = 5s;
// An answer is written within this time, or the connection is dropped.
constexpr auto kWriteTime = 3s;
constexpr int kMaxRequestsPerConnection = 100;
// Connections still sending a request; a new one beyond this pushes out the
// oldest, the likeliest to be stalling.
constexpr size_t kMaxWaiting = 64;
// Event streams: a browser's tabs share one, so a few are plenty; a new one
// beyond this retires the oldest.
constexpr size_t kMaxStreams = 8;
// A stream whose reader lets this much pile up is dropped.
constexpr size_t kMaxStreamBacklog = 1 << 20;
constexpr int kWorkers = 4;

// Set while a worker serves a request: the events route claims the
// connection for the gate through it.
thread_local bool* tClaim = nullptr;

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The size of the first request in `in`: 0 while it is incomplete, or the
// (negative) status that refuses it. Only what the gate needs is read here;
// httplib parses the request itself.
long RequestSize(std::string_view in) {
    const size_t end = in.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        return in.size() > kMaxHead ? -431 : 0;
    }
    if (end + 4 > kMaxHead) {
        return -431;
    }
    std::optional<size_t> length;
    size_t line = in.find("\r\n") + 2;
    while (line < end) {
        size_t next = in.find("\r\n", line);
        std::string_view header = in.substr(line, next - line);
        line = next + 2;
        const size_t colon = header.find(':');
        if (colon == std::string_view::npos) {
            continue;  // httplib judges malformed lines
        }
        std::string_view name = header.substr(0, colon);
        std::string_view value = header.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.remove_suffix(1);
        }
        if (SameName(name, "Transfer-Encoding")) {
            return -411;  // the page sends lengths; chunked bodies are not read
        }
        if (SameName(name, "Content-Length")) {
            if (length || value.empty() || value.size() > 9 ||
                value.find_first_not_of("0123456789") != std::string_view::npos) {
                return -400;
            }
            length = std::stoul(std::string(value));
            if (*length > kMaxBody) {
                return -413;
            }
        }
    }
    const size_t total = end + 4 + length.value_or(0);
    return in.size() >= total ? static_cast<long>(total) : 0;
}

const char* Reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Service Unavailable";
    }
}

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

void SendAll(int fd, std::string_view bytes) {
    // Best effort on a non-blocking socket: a refusal is a few bytes.
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

}  // namespace

// A client's connection, owned by whichever of the gate or a worker handles it.
struct PrefsServer::Connection {
    int fd = -1;
    std::string in;   // received, not yet answered
    size_t size = 0;  // of the request at the front of `in`, once complete
    std::string out;  // streams: written as the socket takes it
    Clock::time_point deadline;
    int served = 0;
    bool closing = false;  // refused: draining what the client still sends

    ~Connection() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// httplib's request parser and routes, fed with requests the gate has read
// in full; its own accept loop and thread pool are never started.
struct PrefsServer::Router : httplib::Server {
    bool Serve(httplib::Stream& stream, bool last, bool& closed) {
        return process_request(stream, last, closed, nullptr);
    }
};

namespace {

// One complete request to read, and the socket to answer on within a deadline.
class RequestStream : public httplib::Stream {
  public:
    RequestStream(int fd, std::string_view request, const std::atomic<bool>& quitting)
        : fd_(fd), request_(request), quitting_(quitting), deadline_(Clock::now() + kWriteTime) {}

    bool claimed = false;  // the gate writes this connection from now on

    bool is_readable() const override { return !request_.empty(); }
    bool is_writable() const override { return !quitting_; }
    ssize_t read(char* ptr, size_t size) override {
        size = std::min(size, request_.size());
        std::memcpy(ptr, request_.data(), size);
        request_.remove_prefix(size);
        return static_cast<ssize_t>(size);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (claimed) {
            return static_cast<ssize_t>(size);  // the gate writes its own head
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t sent = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || left <= 0ms ||
                quitting_) {
                return -1;
            }
            pollfd ready{.fd = fd_, .events = POLLOUT, .revents = 0};
            ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(::getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (get(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
            ip = text;
            port = ntohs(address.sin_port);
        }
    }

    int fd_;
    std::string_view request_;
    const std::atomic<bool>& quitting_;
    Clock::time_point deadline_;
};

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
    windows_.SetMenuChooser(nullptr);
    windows_.SetAboutObserver(nullptr);
    windows_.SetChangeObserver(nullptr);
    windows_.SetMessageBoxResponder(nullptr);
}

bool PrefsServer::Start(int port, std::string* error) {
    if (gate_.joinable()) {
        return true;
    }
    auto fail = [&](const char* what) {
        if (error) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        if (listener_ >= 0) {
            ::close(listener_);
            listener_ = -1;
        }
        return false;
    };
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return fail("socket");
    }
    // Only lets a port in TIME_WAIT be had again; Linux never shares one
    // that another program listens on.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return fail("bind");
    }
    if (::listen(listener_, 64) != 0) {
        return fail("listen");
    }
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        return fail("eventfd");
    }
    gate_ = std::thread([this] { Gate(); });
    for (int i = 0; i < kWorkers; ++i) {
        workers_.emplace_back([this] { Work(); });
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
    }
    quitting_ = true;
    work_.notify_all();
    Wake();
    windows_.Wake();
    if (gate_.joinable()) {
        gate_.join();
    }
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    {
        MutexLock lock(mutex_);
        jobs_.clear();
        handedBack_.clear();
    }
    for (int* fd : {&listener_, &wake_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (!redirect_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(redirect_, ignored);
        redirect_.clear();
    }
    if (!redirectFolder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(redirectFolder_, ignored);
        redirectFolder_.clear();
    }
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

void PrefsServer::Wake() {
    if (wake_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wake_, &one, sizeof one);
    }
}

void PrefsServer::HandBack(ConnectionPtr connection, bool stream) {
    {
        MutexLock lock(mutex_);
        if (stopping_) {
            return;
        }
        handedBack_.emplace_back(std::move(connection), stream);
    }
    Wake();
}

void PrefsServer::Work() {
    for (;;) {
        ConnectionPtr connection;
        {
            MutexLock lock(mutex_);
            work_.wait(lock.native(),
                       [this]() REQUIRES(mutex_) { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            connection = std::move(jobs_.front());
            jobs_.pop_front();
        }
        RequestStream stream(connection->fd,
                             std::string_view(connection->in).substr(0, connection->size),
                             quitting_);
        const bool last = ++connection->served >= kMaxRequestsPerConnection;
        bool closed = false;
        tClaim = &stream.claimed;
        const bool answered = router_->Serve(stream, last, closed);
        tClaim = nullptr;
        connection->in.erase(0, connection->size);
        connection->size = 0;
        if (stream.claimed) {
            HandBack(std::move(connection), true);
        } else if (answered && !closed && !last) {
            HandBack(std::move(connection), false);
        }
    }
}

// The gate: accepts connections, reads each request whole before a worker
// sees it, refuses what is too big or too slow, and writes the event streams.
// It never blocks on a client: every socket is non-blocking and polled.
void PrefsServer::Gate() {
    std::vector<ConnectionPtr> waiting;
    std::vector<ConnectionPtr> streams;
    std::string sent;  // the state the streams were last sent
    uint64_t seen = 0;
    auto nextLook = Clock::now();
    auto nextBeat = Clock::now() + 15s;
    auto acceptAgain = Clock::now();
    auto refuse = [](Connection& connection, int status) {
        SendAll(connection.fd, "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                                   "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        // Closing with unread input would reset the connection and lose the
        // answer: read on until the client is done, for a second at most.
        ::shutdown(connection.fd, SHUT_WR);
        connection.closing = true;
        connection.in.clear();
        connection.deadline = Clock::now() + 1s;
    };
    auto dropStream = [&](size_t i) {
        streams.erase(streams.begin() + static_cast<std::ptrdiff_t>(i));
        ClientGone();
    };
    auto flush = [](Connection& connection) {
        while (!connection.out.empty()) {
            const ssize_t wrote =
                ::send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
            if (wrote <= 0) {
                return wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            }
            connection.out.erase(0, static_cast<size_t>(wrote));
        }
        return true;
    };
    for (;;) {
        std::vector<ConnectionPtr> newStreams;
        uint64_t version = 0;
        {
            MutexLock lock(mutex_);
            if (stopping_) {
                break;
            }
            for (auto& [connection, stream] : handedBack_) {
                if (stream) {
                    ++clients_;
                    newStreams.push_back(std::move(connection));
                } else {
                    connection->deadline = Clock::now() + kRequestTime;
                    waiting.push_back(std::move(connection));
                }
            }
            handedBack_.clear();
            version = version_;
        }
        const auto now = Clock::now();
        if (!newStreams.empty() || (!streams.empty() && (version != seen || now >= nextLook))) {
            seen = version;
            nextLook = now + 1s;
            std::string state = StateJson();
            const std::string event = "data: " + state + "\n\n";
            if (state != sent) {
                for (auto& stream : streams) {
                    stream->out += event;
                }
                sent = std::move(state);
            }
            for (auto& stream : newStreams) {
                stream->out =
                    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
                    "no-store\r\n"
                    "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nretry: 2000\n\n" +
                    event;
                streams.push_back(std::move(stream));
            }
            while (streams.size() > kMaxStreams) {
                dropStream(0);
            }
        }
        if (now >= nextBeat) {
            nextBeat = now + 15s;
            for (auto& stream : streams) {
                stream->out += ": still here\n\n";
            }
        }
        for (size_t i = streams.size(); i-- > 0;) {
            if (!flush(*streams[i]) || streams[i]->out.size() > kMaxStreamBacklog) {
                dropStream(i);
            }
        }

        std::vector<pollfd> polled;
        polled.push_back({.fd = wake_, .events = POLLIN, .revents = 0});
        // Out of descriptors, the listener stays readable: it rests a moment
        // rather than spin.
        polled.push_back({.fd = listener_,
                          .events = static_cast<short>(now < acceptAgain ? 0 : POLLIN),
                          .revents = 0});
        auto until = nextBeat;
        if (!streams.empty()) {
            until = std::min(until, nextLook);
        }
        if (now < acceptAgain) {
            until = std::min(until, acceptAgain);
        }
        for (const auto& connection : waiting) {
            polled.push_back({.fd = connection->fd, .events = POLLIN, .revents = 0});
            until = std::min(until, connection->deadline);
        }
        for (const auto& stream : streams) {
            polled.push_back(
                {.fd = stream->fd,
                 .events = static_cast<short>(POLLIN | (stream->out.empty() ? 0 : POLLOUT)),
                 .revents = 0});
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        ::poll(polled.data(), polled.size(),
               static_cast<int>(std::clamp<int64_t>(wait + 1, 0, 1000)));

        if (polled[0].revents) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t ignored = ::read(wake_, &count, sizeof count);
        }
        // Streams: a page that went away shows as end of input.
        char scratch[16 * 1024];
        for (size_t i = streams.size(); i-- > 0;) {
            const short events = polled[2 + waiting.size() + i].revents;
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = ::recv(streams[i]->fd, scratch, sizeof scratch, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    dropStream(i);
                }
            }
        }
        const auto later = Clock::now();
        std::vector<ConnectionPtr> complete;
        for (size_t i = 0; i < waiting.size(); ++i) {
            Connection& connection = *waiting[i];
            if (polled[2 + i].revents) {
                const ssize_t got = ::recv(connection.fd, scratch, sizeof scratch, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    waiting[i].reset();
                    continue;
                }
                if (got > 0 && !connection.closing) {
                    connection.in.append(scratch, static_cast<size_t>(got));
                }
            }
            if (connection.closing) {
                if (later >= connection.deadline) {
                    waiting[i].reset();
                }
                continue;
            }
            const long size = connection.in.empty() ? 0 : RequestSize(connection.in);
            if (size > 0) {
                connection.size = static_cast<size_t>(size);
                complete.push_back(std::move(waiting[i]));
            } else if (size < 0) {
                refuse(connection, static_cast<int>(-size));
            } else if (later >= connection.deadline) {
                if (connection.in.empty()) {
                    waiting[i].reset();  // an idle kept-alive connection
                } else {
                    refuse(connection, 408);
                }
            }
        }
        std::erase(waiting, nullptr);
        if (!complete.empty()) {
            {
                MutexLock lock(mutex_);
                for (auto& connection : complete) {
                    jobs_.push_back(std::move(connection));
                }
            }
            work_.notify_all();
        }
        if (polled[1].revents) {
            for (;;) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE) {
                        acceptAgain = Clock::now() + 100ms;
                    }
                    break;
                }
                if (waiting.size() >= kMaxWaiting) {
                    waiting.erase(waiting.begin());
                }
                auto connection = std::make_unique<Connection>();
                connection->fd = fd;
                connection->deadline = Clock::now() + kRequestTime;
                waiting.push_back(std::move(connection));
            }
        }
    }
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
    router_->Get(base + "events", [](const httplib::Request&, httplib::Response&) {
        if (tClaim) {
            *tClaim = true;
        }
    });
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
    return "{\"modals\":" + Json(modals) + ",\"edits\":" + Json(edits) +
           ",\"issued\":" + std::to_string(issued) + ",\"unfinished\":" + Json(unfinished) + "," +
           PrefsViewMembers(host_) + "}";
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
    } else if (action == "link") {
        work = onOpenDialog([this, dialog, id, index] { windows_.ClickLink(dialog, id, index); });
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

bool PrefsServer::OpenInBrowser() {
    auto present = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (!present("DISPLAY") && !present("WAYLAND_DISPLAY")) {
        return false;
    }
    if (redirect_.empty()) {
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
                return false;
            }
            folder = made;
            redirectFolder_ = made;
        }
        const std::string path = folder + "/kiln-prefs-" + RandomToken().substr(0, 12) + ".html";
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        const std::string address = Address();
        const std::string page =
            "<!doctype html><meta charset=\"utf-8\"><title>Preferences</title>"
            "<meta http-equiv=\"refresh\" content=\"0;url=" +
            address + "\"><a href=\"" + address + "\">Preferences</a>\n";
        const bool written =
            ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
        ::close(fd);
        if (!written) {
            std::filesystem::remove(path, error);
            return false;
        }
        redirect_ = path;
    }
    return OpenInDesktop(redirect_);
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
