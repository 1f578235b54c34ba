// A stand-in for the scrobbling web service on 127.0.0.1: answers
// auth.gettoken, auth.getSession, track.updateNowPlaying and track.scrobble
// in the service's JSON shapes, checks every api_sig exactly, records what it
// accepted, and fails on demand.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kiln::test {

// One request as the fake received it.
struct ReceivedRequest {
    std::string httpMethod;                     // "GET" or "POST"
    std::string target;                         // path and query as sent
    std::string body;                           // the raw form body
    std::vector<std::string> bodyNames;         // the body's names, in the body's order
    std::map<std::string, std::string> params;  // query and body, decoded
    std::string method;                         // the "method" parameter
    bool signatureValid = false;
    std::string reply;  // what the fake answered
};

struct ScrobbledTrack {
    std::string artist, track, album, albumArtist;
    int64_t timestamp = 0;
    int duration = 0;
    int trackNumber = 0;
};

struct Fault {
    enum class Kind {
        ErrorReply,       // {"error": code[, "message": ...]}
        Ignored,          // accepted shape, "ignoredMessage" code as a string
        IgnoredAsNumber,  // the same with the code as a JSON number
        Empty,            // 200 with an empty body
        NotJson,          // 200 with an HTML page
        Slow,             // the normal answer after delayMs
    };
    Kind kind = Kind::ErrorReply;
    int code = 0;
    bool withMessage = true;
    int delayMs = 0;
    std::string onlyMethod;  // empty: any method

    static Fault Error(int code, bool withMessage = true) {
        return {Kind::ErrorReply, code, withMessage, 0, {}};
    }
};

class FakeScrobbleService {
  public:
    static constexpr const char* kSessionKey = "fakesessionkey0123456789abcdef01";
    static constexpr const char* kAccount = "kiln-listener";

    FakeScrobbleService();
    ~FakeScrobbleService();
    FakeScrobbleService(const FakeScrobbleService&) = delete;
    FakeScrobbleService& operator=(const FakeScrobbleService&) = delete;

    int Port() const { return port_; }
    std::string Address() const;  // "http://127.0.0.1:PORT"
    // Sends the substitute host's requests for the API host here.
    void MapIntoHost() const;
    // Stops listening: later requests are refused.
    void Stop();

    // The next `times` requests (of `fault.onlyMethod`, if given) fail so.
    void FailNext(const Fault& fault, int times = 1);
    void ClearFaults();

    // Tokens handed out by auth.gettoken, and the user's answer on the
    // service's page: until allowed, auth.getSession answers error 14.
    std::vector<std::string> IssuedTokens() const;
    void AllowTokens();
    void ExpireTokens();

    std::vector<ReceivedRequest> Requests() const;
    std::vector<ReceivedRequest> Requests(const std::string& method) const;
    size_t RequestCount() const;
    // Accepted scrobbles, in the order they arrived (and their index order).
    std::vector<ScrobbledTrack> Scrobbles() const;
    size_t AcceptedNowPlaying() const;

    // The service's own signature rule, for checks of the request text.
    static std::string Signature(const std::map<std::string, std::string>& params);

  private:
    void Handle(const httplib::Request& request, httplib::Response& response);
    std::string Answer(ReceivedRequest& received, const Fault* fault);
    bool TakeFault(const std::string& method, Fault* fault);
    void SleepUnlessStopped(int ms);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    // -- protected by mutex_
    bool stopping_ = false;
    std::deque<std::pair<Fault, int>> faults_;
    std::map<std::string, int> tokens_;  // token -> 0 issued, 1 allowed, 2 expired
    int nextToken_ = 1;
    std::vector<ReceivedRequest> requests_;
    std::vector<ScrobbledTrack> scrobbles_;
    size_t nowPlaying_ = 0;
};

// A loopback port with nothing listening on it.
int ClosedPort();

}  // namespace kiln::test
