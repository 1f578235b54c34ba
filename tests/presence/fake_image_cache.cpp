#include "fake_image_cache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <cstdlib>
#include <regex>

namespace kiln::test {

FormPart Upload::Part(const std::string& name) const {
    for (const FormPart& part : parts) {
        if (part.name == name) {
            return part;
        }
    }
    return {};
}

FakeImageCache::FakeImageCache() : server_(std::make_unique<httplib::Server>()) {
    server_->Post(R"(.*/discord/cache/)", [this](const httplib::Request& request,
                                                 httplib::Response& response) {
        Upload upload;
        upload.target = request.target;
        upload.contentType = request.get_header_value("Content-Type");
        for (const auto& [name, file] : request.files) {
            upload.parts.push_back({file.name, file.filename, file.content_type, file.content});
        }
        std::unique_lock<std::mutex> guard(lock_);
        ++arrived_;
        released_.wait_for(guard, std::chrono::seconds(10), [this] { return !held_; });
        uploads_.push_back(upload);
        if (answer_ == Answer::Ok) {
            response.status = 200;
            response.set_content("ok", "text/plain");
            return;
        }
        const std::string uid = request.get_param_value("uid");
        const FormPart image = upload.Part("discord_user_image");
        if (uid.empty() || image.content.empty()) {
            response.status = 400;
            return;
        }
        images_[uid] = image.content;
        response.status = 201;
        response.set_content("stored", "text/plain");
    });
    server_->Get(R"(.*/discord/cache/([A-Za-z0-9]+)\.jpg)",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     std::lock_guard<std::mutex> guard(lock_);
                     auto found = images_.find(request.matches[1].str());
                     if (found == images_.end()) {
                         response.status = 404;
                         return;
                     }
                     response.status = 200;
                     response.set_content(found->second, "image/jpeg");
                 });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
}

FakeImageCache::~FakeImageCache() {
    HoldAnswers(false);
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string FakeImageCache::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void FakeImageCache::SetAnswer(Answer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    answer_ = answer;
}

void FakeImageCache::HoldAnswers(bool held) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = held;
    }
    released_.notify_all();
}

size_t FakeImageCache::Arrived() const {
    std::lock_guard<std::mutex> guard(lock_);
    return arrived_;
}

std::vector<Upload> FakeImageCache::Uploads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return uploads_;
}

bool FakeImageCache::WaitForUploads(size_t count, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (uploads_.size() >= count) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string FakeImageCache::StoredImage(const std::string& uid) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = images_.find(uid);
    return found == images_.end() ? std::string() : found->second;
}

namespace {

int ListenOnLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Reads the whole request (headers and a body of Content-Length bytes), so
// that closing afterwards is an empty reply rather than a reset.
void ReadRequest(int fd) {
    std::string bytes;
    size_t wanted = std::string::npos;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (wanted != std::string::npos && bytes.size() >= wanted) {
            return;
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        bytes.append(buffer, static_cast<size_t>(got));
        size_t end = bytes.find("\r\n\r\n");
        if (wanted == std::string::npos && end != std::string::npos) {
            std::smatch match;
            std::string head = bytes.substr(0, end);
            static const std::regex kLength(R"(\r\n[Cc]ontent-[Ll]ength:\s*(\d+))");
            size_t body = std::regex_search(head, match, kLength)
                              ? static_cast<size_t>(std::stoul(match[1].str()))
                              : 0;
            wanted = end + 4 + body;
        }
    }
}

}  // namespace

SilentServer::SilentServer() {
    listener_ = ListenOnLoopback(&port_);
    if (listener_ < 0 || ::pipe(wake_) != 0) {
        return;
    }
    thread_ = std::thread([this] {
        for (;;) {
            pollfd ready[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(ready, 2, -1) < 0) {
                continue;
            }
            if (ready[1].revents != 0) {
                return;
            }
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            ReadRequest(client);
            ::close(client);
            std::lock_guard<std::mutex> guard(lock_);
            ++accepted_;
        }
    });
}

SilentServer::~SilentServer() {
    if (thread_.joinable()) {
        char stop = 1;
        (void)!::write(wake_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::string SilentServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

int SilentServer::Accepted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return accepted_;
}

std::string UnreachableBaseUrl() {
    // A port that was just free and whose listener is gone: connections are
    // refused at once.
    int port = 0;
    int fd = ListenOnLoopback(&port);
    if (fd >= 0) {
        ::close(fd);
    }
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

}  // namespace kiln::test
