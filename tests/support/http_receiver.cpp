#include "support/http_receiver.h"

#include <httplib.h>

namespace kiln::test {

HttpReceiver::HttpReceiver() : server_(std::make_unique<httplib::Server>()) {
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            requests_.push_back({request.method, request.target, request.version, request.body});
        }
        response.status = 200;
        response.set_content("ok", "text/plain");
    };
    server_->Get(".*", record);
    server_->Post(".*", record);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
}

HttpReceiver::~HttpReceiver() {
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<ReceivedRequest> HttpReceiver::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

bool HttpReceiver::WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (requests_.size() >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> guard(lock_);
    return requests_.size() >= count;
}

}  // namespace kiln::test
