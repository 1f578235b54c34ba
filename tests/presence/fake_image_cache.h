// The image cache of the host's web site, as the cover-art upload meets it: a
// real HTTP server on 127.0.0.1 that takes multipart uploads at
// "<any prefix>/discord/cache/?uid=<uid>" and keeps each form as it arrived.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kiln::test {

struct FormPart {
    std::string name;
    std::string fileName;  // empty for a plain field
    std::string content;
};

struct Upload {
    std::string target;       // path and query as sent
    std::string contentType;  // of the request
    std::vector<FormPart> parts;
};

class FakeImageCache {
  public:
    // On `port`, or on any free one when 0.
    explicit FakeImageCache(int port = 0);
    ~FakeImageCache();
    FakeImageCache(const FakeImageCache&) = delete;
    FakeImageCache& operator=(const FakeImageCache&) = delete;

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT/", the form of the host's web base address.
    std::string BaseUrl() const;

    // 201 (stored) when true; else 200, a server that misunderstood.
    void AnswerCreated(bool created);
    // While held, uploads wait for their answer (at most 10 s): an upload
    // that is still under way.
    void HoldAnswers(bool held);
    // Uploads that have arrived, answered or not.
    size_t Arrived() const;
    std::vector<Upload> Uploads() const;

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable released_;
    // -- protected by lock_
    bool created_ = true;
    bool held_ = false;
    size_t arrived_ = 0;
    std::vector<Upload> uploads_;
};

}  // namespace kiln::test
