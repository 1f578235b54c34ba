// The image cache of the host's web site, as the cover-art upload meets it: a
// real HTTP server on 127.0.0.1 that takes multipart uploads at
// "/discord/cache/?uid=<uid>" and stores only a form the site would take.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace kiln::test {

class FakeImageCache {
  public:
    FakeImageCache();
    ~FakeImageCache();

    // "http://127.0.0.1:PORT/", the form of the host's web base address.
    std::string BaseUrl() const;

    // 201 (stored) when true; else 200, a server that misunderstood.
    void AnswerCreated(bool created);
    // While held, uploads wait for their answer (at most 10 s): an upload
    // that is still under way.
    void HoldAnswers(bool held);
    // Uploads that have arrived, answered or not.
    size_t Arrived() const;
    // The uid and image of each answered upload; empty for a refused form.
    std::vector<std::pair<std::string, std::string>> Uploads() const;

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
    std::vector<std::pair<std::string, std::string>> uploads_;
};

}  // namespace kiln::test
