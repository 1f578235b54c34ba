// The preferences server's connections: one gate thread accepts them, reads
// each request whole (within a deadline, under size caps) before a worker
// sees it, and writes every event stream; a few workers answer complete
// requests through httplib's parser and routes.
#include "host/prefs_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kiln::host {

using namespace gate;

namespace {

// Set while a worker serves a request.
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

void gate::ClaimForStream() {
    if (tClaim) {
        *tClaim = true;
    }
}

PrefsServer::Connection::~Connection() {
    if (fd >= 0) {
        ::close(fd);
    }
}

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

}  // namespace kiln::host
