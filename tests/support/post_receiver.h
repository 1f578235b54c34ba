// A web service that playback requests are sent to: a real HTTP or HTTPS
// server on 127.0.0.1 that records every request as it arrived.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kiln::test {

struct ArrivedRequest {
    std::string method;
    std::string target;   // path and query as sent, still escaped
    std::string version;  // "HTTP/1.1"
    std::multimap<std::string, std::string> headers;
    std::string body;

    std::string Header(const std::string& name) const;
};

class PostReceiver {
  public:
    // Plain HTTP, or HTTPS with a self-signed certificate for "localhost" made now.
    explicit PostReceiver(bool https = false);
    ~PostReceiver();
    PostReceiver(const PostReceiver&) = delete;
    PostReceiver& operator=(const PostReceiver&) = delete;

    bool Ready() const { return port_ > 0; }
    int Port() const { return port_; }

    std::vector<ArrivedRequest> Requests() const;
    // Waits until at least `count` requests arrived; false on time-out.
    bool WaitForCount(size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  private:
    void Listen();

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    std::vector<ArrivedRequest> requests_;  // protected by lock_
};

}  // namespace kiln::test
