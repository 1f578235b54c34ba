#include "fake_scrobbler.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "scrobbler/deployment.h"

namespace kiln::test {
namespace {

std::string Md5(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// The service's rule: every name and raw value in name order, then the secret.
std::string Signature(const std::map<std::string, std::string>& params) {
    std::string text;
    for (const auto& [name, value] : params) {
        if (name != "format" && name != "api_sig" && name != "callback") {
            text += name + value;
        }
    }
    return Md5(text + KILN_SCROBBLE_SHARED_SECRET);
}

std::string ErrorJson(int code, bool withMessage = true) {
    const char* message =
        code == 10 ? "Invalid API key - You must be granted a valid key by last.fm"
                   : "Operation failed - Most likely the backend service failed. Please try again.";
    return "{\"error\":" + std::to_string(code) +
           (withMessage ? ",\"message\":\"" + std::string(message) + "\"" : std::string()) + "}";
}

// One track as the service echoes it back, less the echoed names, which the
// plug-in does not read.
std::string TrackJson(const Fault* ignored) {
    return "{\"ignoredMessage\":{\"code\":\"" + std::to_string(ignored ? ignored->code : 0) +
           "\",\"#text\":\"\"}}";
}

}  // namespace

std::string ReceivedRequest::Param(const std::string& name) const {
    auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

FakeScrobbleService::FakeScrobbleService() : server_(std::make_unique<httplib::Server>()) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    };
    server_->Get("/2.0/", handler);
    server_->Post("/2.0/", handler);
    // The service's own page, where the user allows access for a token.
    server_->Get("/api/auth/",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     std::lock_guard<std::mutex> guard(mutex_);
                     auto found = tokens_.find(request.get_param_value("token"));
                     const bool known = found != tokens_.end() &&
                                        request.get_param_value("api_key") == KILN_SCROBBLE_API_KEY;
                     if (known) {
                         found->second = Token::Allowed;
                     }
                     response.status = known ? 200 : 400;
                     response.set_content(
                         known ? "<p>Access allowed.</p>" : "<p>Unknown token.</p>", "text/html");
                 });
    // Listening from here on: connections queue until the loop takes them.
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the accept loop runs would be lost and the join would hang.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
}

FakeScrobbleService::~FakeScrobbleService() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();  // a slow answer ends now
    server_->stop();
    thread_.join();
}

std::string FakeScrobbleService::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void FakeScrobbleService::FailNext(const Fault& fault) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.push_back(fault);
}

std::vector<std::string> FakeScrobbleService::IssuedTokens() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (const auto& entry : tokens_) {
        out.push_back(entry.first);
    }
    return out;
}

void FakeScrobbleService::SetTokens(Token state) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& entry : tokens_) {
        entry.second = state;
    }
}

void FakeScrobbleService::RefuseArtist(const std::string& artist) {
    std::lock_guard<std::mutex> guard(mutex_);
    refusedArtist_ = artist;
}

std::vector<ReceivedRequest> FakeScrobbleService::Requests(const std::string& method) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<ReceivedRequest> out;
    for (const auto& request : requests_) {
        if (method.empty() || request.Param("method") == method) {
            out.push_back(request);
        }
    }
    return out;
}

std::vector<ScrobbledTrack> FakeScrobbleService::Scrobbles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return scrobbles_;
}

void FakeScrobbleService::Handle(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest received{request.method, request.target, request.body, {}, {}, false};
    httplib::Params params = request.params;  // the query
    httplib::detail::parse_query_text(request.body, params);
    received.params.insert(params.begin(), params.end());
    httplib::detail::split(request.body.data(), request.body.data() + request.body.size(), '&',
                           [&](const char* begin, const char* end) {
                               const std::string pair(begin, end);
                               received.bodyNames.push_back(httplib::detail::decode_url(
                                   pair.substr(0, pair.find('=')), true));
                           });
    received.signatureValid = received.Param("api_sig") == Signature(received.params);

    std::unique_lock<std::mutex> lock(mutex_);
    auto fault = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& candidate) {
        return candidate.onlyMethod.empty() || candidate.onlyMethod == received.Param("method");
    });
    // Without a fault: the normal answer, at once.
    const Fault taken = fault == faults_.end() ? Fault{.kind = Fault::Kind::Slow} : *fault;
    if (fault != faults_.end()) {
        faults_.erase(fault);
    }
    // Any answer may be held back: a failure the client meets only late.
    if (taken.delayMs > 0) {
        stopping_.wait_for(lock, std::chrono::milliseconds(taken.delayMs),
                           [this] { return stopped_; });
    }
    const std::string answer =
        taken.kind == Fault::Kind::ErrorReply ? ErrorJson(taken.code, taken.withMessage)
        : taken.kind == Fault::Kind::Raw
            ? taken.body
            : Answer(received, taken.kind == Fault::Kind::Ignored ? &taken : nullptr);
    // Recorded with what it changed, in one step: a test that sees a
    // scrobble also sees its request.
    requests_.push_back(received);
    lock.unlock();
    response.set_content(answer, "application/json");
}

// Called with mutex_ held.
std::string FakeScrobbleService::Answer(const ReceivedRequest& received, const Fault* ignored) {
    const std::string method = received.Param("method");
    if (received.Param("format") != "json") {  // the service's XML, which nothing here reads
        return "<lfm status=\"ok\"></lfm>";
    }
    if (received.Param("api_key") != KILN_SCROBBLE_API_KEY) {
        return ErrorJson(10);
    }
    if (method == "auth.gettoken") {
        // An unsigned token request is answered, as the service does.
        if (received.params.count("api_sig") && !received.signatureValid) {
            return ErrorJson(13);
        }
        const std::string number = std::to_string(nextToken_++);
        const std::string token = "faketoken" + std::string(23 - number.size(), '0') + number;
        tokens_[token] = Token::Issued;
        return "{\"token\":\"" + token + "\"}";
    }
    if (!received.signatureValid) {
        return ErrorJson(13);
    }
    if (method == "auth.getSession") {
        auto found = tokens_.find(received.Param("token"));
        if (found == tokens_.end() || found->second != Token::Allowed) {
            return ErrorJson(found == tokens_.end() ? 4 : found->second == Token::Issued ? 14 : 15);
        }
        tokens_.erase(found);
        return std::string("{\"session\":{\"subscriber\":0,\"name\":\"") + kAccount +
               "\",\"key\":\"" + kSessionKey + "\"}}";
    }
    if (received.Param("sk") != kSessionKey) {
        return ErrorJson(9);
    }
    if (method == "track.updateNowPlaying") {
        return "{\"nowplaying\":" + TrackJson(ignored) + "}";
    }
    std::vector<ScrobbledTrack> batch;
    std::string tracks;
    for (size_t i = 0;; ++i) {
        const std::string suffix = "[" + std::to_string(i) + "]";
        ScrobbledTrack track{received.Param("artist" + suffix), received.Param("track" + suffix),
                             received.Param("albumArtist" + suffix), 0};
        const std::string timestamp = received.Param("timestamp" + suffix);
        if (track.artist.empty() && track.track.empty() && timestamp.empty()) {
            break;
        }
        if (track.artist.empty() || track.track.empty() || timestamp.empty() ||
            (!refusedArtist_.empty() && track.artist == refusedArtist_)) {
            return ErrorJson(6);
        }
        track.timestamp = std::stoll(timestamp);
        batch.push_back(track);
        tracks += (i ? "," : "") + TrackJson(ignored);
    }
    if (batch.empty()) {
        return ErrorJson(6);
    }
    if (!ignored) {
        scrobbles_.insert(scrobbles_.end(), batch.begin(), batch.end());
    }
    const size_t accepted = ignored ? 0 : batch.size();
    // One scrobble comes as an object, several as an array.
    return "{\"scrobbles\":{\"scrobble\":" + (batch.size() > 1 ? "[" + tracks + "]" : tracks) +
           ",\"@attr\":{\"accepted\":" + std::to_string(accepted) +
           ",\"ignored\":" + std::to_string(batch.size() - accepted) + "}}}";
}

}  // namespace kiln::test
