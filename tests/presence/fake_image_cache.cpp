#include "fake_image_cache.h"

#include <httplib.h>

namespace kiln::test {

FakeImageCache::FakeImageCache(int port) : server_(std::make_unique<httplib::Server>()) {
    server_->Post(R"(.*/discord/cache/)", [this](const httplib::Request& request,
                                                 httplib::Response& response) {
        Upload upload{request.target, request.get_header_value("Content-Type"), {}};
        bool image = false;
        for (const auto& [name, file] : request.files) {
            upload.parts.push_back({file.name, file.filename, file.content});
            image = image || (name == "discord_user_image" && !file.content.empty());
        }
        std::unique_lock<std::mutex> guard(lock_);
        ++arrived_;
        released_.wait_for(guard, std::chrono::seconds(10), [this] { return !held_; });
        uploads_.push_back(upload);
        if (!created_) {
            response.status = 200;
        } else {
            response.status = image && request.has_param("uid") ? 201 : 400;
        }
    });
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else if (server_->bind_to_port("127.0.0.1", port)) {
        port_ = port;
    }
    if (port_ <= 0) {
        return;  // nothing listens: every upload fails, and so the test
    }
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

void FakeImageCache::AnswerCreated(bool created) {
    std::lock_guard<std::mutex> guard(lock_);
    created_ = created;
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

}  // namespace kiln::test
