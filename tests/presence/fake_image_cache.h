// The image cache of the host's web site, as the cover-art upload meets it: a
// real HTTP server on 127.0.0.1 that takes multipart uploads at
// "<any prefix>/discord/cache/?uid=<uid>", keeps the form as it arrived, and
// serves the stored image at "<any prefix>/discord/cache/<uid>.jpg?<anything>".
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

struct FormPart {
    std::string name;
    std::string fileName;  // empty for a plain field
    std::string contentType;
    std::string content;
};

struct Upload {
    std::string target;       // path and query as sent
    std::string contentType;  // of the request
    std::vector<FormPart> parts;

    // The part of that name, or an empty one.
    FormPart Part(const std::string& name) const;
};

class FakeImageCache {
  public:
    enum class Answer {
        Created,  // 201, the image stored
        Ok,       // 200, nothing stored: a server that misunderstood
    };

    FakeImageCache();
    ~FakeImageCache();
    FakeImageCache(const FakeImageCache&) = delete;
    FakeImageCache& operator=(const FakeImageCache&) = delete;

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT/", the form of the host's web base address.
    std::string BaseUrl() const;

    void SetAnswer(Answer answer);
    // While held, uploads wait for their answer (at most 10 s): an upload
    // that is still under way.
    void HoldAnswers(bool held);
    // Uploads that have arrived, answered or not.
    size_t Arrived() const;
    std::vector<Upload> Uploads() const;
    bool WaitForUploads(size_t count, std::chrono::milliseconds timeout) const;
    // The image stored for an identity, empty when none.
    std::string StoredImage(const std::string& uid) const;

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable released_;
    // -- protected by lock_
    Answer answer_ = Answer::Created;
    bool held_ = false;
    size_t arrived_ = 0;
    std::vector<Upload> uploads_;
    std::map<std::string, std::string> images_;  // by uid
};

// A server on 127.0.0.1 that reads each request and closes the connection
// without answering.
class SilentServer {
  public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    std::string BaseUrl() const;
    int Accepted() const;

  private:
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;
    int accepted_ = 0;  // protected by lock_
};

// "http://127.0.0.1:PORT/" of a port that nothing listens on.
std::string UnreachableBaseUrl();

}  // namespace kiln::test
