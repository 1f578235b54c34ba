// A stand-in for the scrobbling web service on 127.0.0.1: answers
// auth.gettoken, auth.getSession, track.updateNowPlaying and track.scrobble
// (and serves the authorisation page, /api/auth/, where a visit allows the token)
// in the service's JSON shapes, checks api_key, api_sig and sk as the service
// does, records every request, and fails on demand. Needs no test framework
// and no host, so a demo program can run it too.
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

struct ReceivedRequest {
    std::string httpMethod;                     // "GET" or "POST"
    std::string target;                         // path and query as sent
    std::string body;                           // the raw form body
    std::vector<std::string> bodyNames;         // in the body's order
    std::map<std::string, std::string> params;  // query and body, decoded
    bool signatureValid = false;

    std::string Param(const std::string& name) const;
};

struct ScrobbledTrack {
    std::string artist, track, albumArtist;
    int64_t timestamp = 0;
};

// How the next request (of onlyMethod, when given) fails.
struct Fault {
    enum class Kind {
        ErrorReply,  // {"error": code[, "message": ...]}
        Ignored,     // the normal shape with ignoredMessage code `code`; nothing accepted
        Raw,         // `body` as the whole reply, with status 200
        Slow,        // the normal answer (each kind waits delayMs first)
    };
    Kind kind = Kind::ErrorReply;
    int code = 0;
    bool withMessage = true;
    std::string body;
    int delayMs = 0;
    std::string onlyMethod;
};

class FakeScrobbleService {
  public:
    static constexpr const char* kSessionKey = "fakesessionkey0123456789abcdef01";
    static constexpr const char* kAccount = "kiln-listener";

    FakeScrobbleService();
    ~FakeScrobbleService();

    std::string Address() const;  // "http://127.0.0.1:PORT"
    void FailNext(const Fault& fault);

    // Tokens handed out by auth.gettoken, and the user's answer on the
    // service's page: auth.getSession answers error 14 for an issued token,
    // 15 for an expired one, and a session for an allowed one.
    enum class Token { Issued, Allowed, Expired };
    std::vector<std::string> IssuedTokens() const;
    void SetTokens(Token state);

    // A play the service refuses for good: any submission holding a track of
    // this artist is answered with error 6.
    void RefuseArtist(const std::string& artist);

    std::vector<ReceivedRequest> Requests(const std::string& method = {}) const;
    // Accepted scrobbles in the order they arrived.
    std::vector<ScrobbledTrack> Scrobbles() const;

  private:
    void Handle(const httplib::Request& request, httplib::Response& response);
    std::string Answer(const ReceivedRequest& received, const Fault* ignored);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    // -- protected by mutex_
    bool stopped_ = false;
    std::deque<Fault> faults_;
    std::map<std::string, Token> tokens_;
    int nextToken_ = 1;
    std::vector<ReceivedRequest> requests_;
    std::vector<ScrobbledTrack> scrobbles_;
    std::string refusedArtist_;
};

}  // namespace kiln::test
