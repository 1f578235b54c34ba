// A real HTTP server on 127.0.0.1 that records every request it receives.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kiln::test {

struct ReceivedRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string version;
    std::string body;
};

class HttpReceiver {
public:
    HttpReceiver();
    ~HttpReceiver();
    HttpReceiver(const HttpReceiver&) = delete;
    HttpReceiver& operator=(const HttpReceiver&) = delete;

    int port() const { return port_; }
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::vector<ReceivedRequest> Requests() const;
    // Waits (really) until `count` requests arrived; false on time-out.
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout) const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::vector<ReceivedRequest> requests_;
};

}  // namespace kiln::test
