#include "fake_image_cache.h"

#include <httplib.h>

namespace kiln::test {

FakeImageCache::FakeImageCache() : server_(std::make_unique<httplib::Server>()) {
    server_->Post(
        "/discord/cache/", [this](const httplib::Request& request, httplib::Response& response) {
            // The identity in the address and in the form, and a JPEG under the
            // plug-in's file name.
            const auto image = request.files.find("discord_user_image");
            const auto uid = request.files.find("filename");
            const bool valid = request.is_multipart_form_data() && request.files.size() == 2 &&
                               image != request.files.end() && uid != request.files.end() &&
                               request.get_param_value("uid") == uid->second.content &&
                               !uid->second.content.empty() &&
                               image->second.filename == "discord.jpg" &&
                               !image->second.content.empty();
            std::unique_lock<std::mutex> guard(lock_);
            ++arrived_;
            released_.wait_for(guard, std::chrono::seconds(10), [this] { return !held_; });
            uploads_.push_back(valid ? std::pair(uid->second.content, image->second.content)
                                     : std::pair<std::string, std::string>());
            response.status = !created_ ? 200 : valid ? 201 : 400;
        });
    port_ = server_->bind_to_any_port("127.0.0.1");
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

std::vector<std::pair<std::string, std::string>> FakeImageCache::Uploads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return uploads_;
}

}  // namespace kiln::test
