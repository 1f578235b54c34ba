#include "fake_scrobbler.h"

#define CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH (16 * 1024 * 1024)
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "host/substitute_host.h"
#include "scrobbler/deployment.h"

namespace kiln::test {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string FormDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "a=1&b=2" into the map; the names in their order.
void ParseForm(const std::string& text, std::map<std::string, std::string>& params,
               std::vector<std::string>* names) {
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string pair = text.substr(start, end - start);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            const std::string name = FormDecode(pair.substr(0, equals));
            const std::string value =
                equals == std::string::npos ? std::string() : FormDecode(pair.substr(equals + 1));
            params[name] = value;
            if (names) {
                names->push_back(name);
            }
        }
        start = end + 1;
    }
}

std::string Md5(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

const char* ErrorMessage(int code) {
    switch (code) {
        case 4:
            return "Invalid authentication token supplied";
        case 6:
            return "Invalid parameters - Your request is missing a required parameter";
        case 9:
            return "Invalid session key - Please re-authenticate";
        case 10:
            return "Invalid API key - You must be granted a valid key by last.fm";
        case 11:
            return "Service Offline - This service is temporarily offline. Try again later.";
        case 13:
            return "Invalid method signature supplied";
        case 14:
            return "Unauthorized Token - This token has not been authorized";
        case 15:
            return "This token has expired";
        case 16:
            return "There was a temporary error processing your request. Please try again";
        case 26:
            return "Suspended API key - Access for your account has been suspended";
        default:
            return "Operation failed - Most likely the backend service failed. Please try again.";
    }
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

std::string ErrorJson(int code, bool withMessage) {
    rapidjson::StringBuffer text;
    Writer json(text);
    json.StartObject();
    json.Key("error");
    json.Int(code);
    if (withMessage) {
        json.Key("message");
        json.String(ErrorMessage(code));
    }
    json.EndObject();
    return text.GetString();
}

void Corrected(Writer& json, const char* key, const std::string& value) {
    json.Key(key);
    json.StartObject();
    json.Key("corrected");
    json.String("0");
    json.Key("#text");
    json.String(value.c_str());
    json.EndObject();
}

void Ignored(Writer& json, const Fault* fault) {
    json.Key("ignoredMessage");
    json.StartObject();
    json.Key("code");
    if (fault && fault->kind == Fault::Kind::IgnoredAsNumber) {
        json.Int(fault->code);
    } else {
        json.String(std::to_string(fault ? fault->code : 0).c_str());
    }
    json.Key("#text");
    json.String(fault ? "Artist was ignored" : "");
    json.EndObject();
}

std::string Get(const std::map<std::string, std::string>& params, const std::string& name) {
    auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

}  // namespace

int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string FakeScrobbleService::Signature(const std::map<std::string, std::string>& params) {
    std::string text;
    for (const auto& [name, value] : params) {
        if (name == "format" || name == "api_sig" || name == "callback") {
            continue;
        }
        text += name;
        text += value;
    }
    return Md5(text + KILN_SCROBBLE_SHARED_SECRET);
}

FakeScrobbleService::FakeScrobbleService() : server_(std::make_unique<httplib::Server>()) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    };
    server_->Get("/2.0/", handler);
    server_->Post("/2.0/", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // bind_to_any_port has the socket listening already: connections queue
    // until the loop takes them.
}

FakeScrobbleService::~FakeScrobbleService() {
    Stop();
}

std::string FakeScrobbleService::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void FakeScrobbleService::MapIntoHost() const {
    host::SubstituteHost::Instance().MapHost("ws.audioscrobbler.com", Address());
}

void FakeScrobbleService::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

void FakeScrobbleService::FailNext(const Fault& fault, int times) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.emplace_back(fault, times);
}

void FakeScrobbleService::ClearFaults() {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.clear();
}

std::vector<std::string> FakeScrobbleService::IssuedTokens() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (const auto& [token, state] : tokens_) {
        out.push_back(token);
    }
    return out;
}

void FakeScrobbleService::AllowTokens() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [token, state] : tokens_) {
        if (state == 0) {
            state = 1;
        }
    }
}

void FakeScrobbleService::ExpireTokens() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [token, state] : tokens_) {
        state = 2;
    }
}

std::vector<ReceivedRequest> FakeScrobbleService::Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

std::vector<ReceivedRequest> FakeScrobbleService::Requests(const std::string& method) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<ReceivedRequest> out;
    for (const auto& request : requests_) {
        if (request.method == method) {
            out.push_back(request);
        }
    }
    return out;
}

size_t FakeScrobbleService::RequestCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_.size();
}

std::vector<ScrobbledTrack> FakeScrobbleService::Scrobbles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return scrobbles_;
}

size_t FakeScrobbleService::AcceptedNowPlaying() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return nowPlaying_;
}

bool FakeScrobbleService::TakeFault(const std::string& method, Fault* fault) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!it->first.onlyMethod.empty() && it->first.onlyMethod != method) {
            continue;
        }
        *fault = it->first;
        if (--it->second <= 0) {
            faults_.erase(it);
        }
        return true;
    }
    return false;
}

void FakeScrobbleService::SleepUnlessStopped(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void FakeScrobbleService::Handle(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest received;
    received.httpMethod = request.method;
    received.target = request.target;
    received.body = request.body;
    const size_t query = request.target.find('?');
    if (query != std::string::npos) {
        ParseForm(request.target.substr(query + 1), received.params, nullptr);
    }
    if (request.method == "POST") {
        ParseForm(request.body, received.params, &received.bodyNames);
    }
    received.method = Get(received.params, "method");
    received.signatureValid = Get(received.params, "api_sig") == Signature(received.params);

    Fault fault;
    bool faulty = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        faulty = TakeFault(received.method, &fault);
    }
    if (faulty && fault.kind == Fault::Kind::Slow) {
        SleepUnlessStopped(fault.delayMs);
        faulty = false;
    }
    std::string answer;
    {
        // The request is recorded with what it changed, in one step: a test
        // that sees a scrobble also sees its request.
        std::lock_guard<std::mutex> guard(mutex_);
        if (faulty && fault.kind == Fault::Kind::Empty) {
            answer = "";
        } else if (faulty && fault.kind == Fault::Kind::NotJson) {
            answer = "<html><body>Service Unavailable</body></html>";
        } else if (faulty && fault.kind == Fault::Kind::ErrorReply) {
            answer = ErrorJson(fault.code, fault.withMessage);
        } else {
            answer = Answer(received, faulty ? &fault : nullptr);
        }
        received.reply = answer;
        requests_.push_back(received);
    }
    response.set_content(answer, "application/json");
}

// Called with mutex_ held.
std::string FakeScrobbleService::Answer(ReceivedRequest& received, const Fault* fault) {
    const auto& params = received.params;
    const std::string& method = received.method;
    if (Get(params, "api_key") != KILN_SCROBBLE_API_KEY) {
        return ErrorJson(10, true);
    }
    rapidjson::StringBuffer text;
    Writer json(text);
    if (method == "auth.gettoken" || method == "auth.getToken") {
        // An unsigned token request is answered, as the service does.
        if (params.count("api_sig") && !received.signatureValid) {
            return ErrorJson(13, true);
        }
        char token[33];
        std::snprintf(token, sizeof token, "faketoken%023d", nextToken_++);
        tokens_[token] = 0;
        json.StartObject();
        json.Key("token");
        json.String(token);
        json.EndObject();
        return text.GetString();
    }
    if (!received.signatureValid) {
        return ErrorJson(13, true);
    }
    if (method == "auth.getSession") {
        auto found = tokens_.find(Get(params, "token"));
        if (found == tokens_.end()) {
            return ErrorJson(4, true);
        }
        if (found->second == 0) {
            return ErrorJson(14, true);
        }
        if (found->second == 2) {
            return ErrorJson(15, true);
        }
        tokens_.erase(found);
        json.StartObject();
        json.Key("session");
        json.StartObject();
        json.Key("subscriber");
        json.Int(0);
        json.Key("name");
        json.String(kAccount);
        json.Key("key");
        json.String(kSessionKey);
        json.EndObject();
        json.EndObject();
        return text.GetString();
    }
    if (method != "track.updateNowPlaying" && method != "track.scrobble") {
        return ErrorJson(3, true);
    }
    if (Get(params, "sk") != kSessionKey) {
        return ErrorJson(9, true);
    }
    const bool rejected = fault != nullptr;
    if (method == "track.updateNowPlaying") {
        if (Get(params, "artist").empty() || Get(params, "track").empty()) {
            return ErrorJson(6, true);
        }
        json.StartObject();
        json.Key("nowplaying");
        json.StartObject();
        Corrected(json, "artist", Get(params, "artist"));
        Corrected(json, "track", Get(params, "track"));
        Corrected(json, "album", Get(params, "album"));
        Corrected(json, "albumArtist", Get(params, "albumArtist"));
        Ignored(json, fault);
        json.EndObject();
        json.EndObject();
        if (!rejected) {
            ++nowPlaying_;
        }
        return text.GetString();
    }
    std::vector<ScrobbledTrack> batch;
    for (int i = 0; i < 50; ++i) {
        auto field = [&](const char* name) {
            return Get(params, std::string(name) + "[" + std::to_string(i) + "]");
        };
        if (field("artist").empty() && field("track").empty() && field("timestamp").empty()) {
            break;
        }
        if (field("artist").empty() || field("track").empty() || field("timestamp").empty()) {
            return ErrorJson(6, true);
        }
        ScrobbledTrack track;
        track.artist = field("artist");
        track.track = field("track");
        track.album = field("album");
        track.albumArtist = field("albumArtist");
        track.timestamp = std::stoll(field("timestamp"));
        track.duration = field("duration").empty() ? 0 : std::stoi(field("duration"));
        track.trackNumber = field("trackNumber").empty() ? 0 : std::stoi(field("trackNumber"));
        batch.push_back(track);
    }
    if (batch.empty()) {
        return ErrorJson(6, true);
    }
    json.StartObject();
    json.Key("scrobbles");
    json.StartObject();
    json.Key("scrobble");
    if (batch.size() > 1) {
        json.StartArray();
    }
    for (const auto& track : batch) {
        json.StartObject();
        Corrected(json, "artist", track.artist);
        Corrected(json, "track", track.track);
        Corrected(json, "album", track.album);
        Corrected(json, "albumArtist", track.albumArtist);
        Ignored(json, fault);
        json.Key("timestamp");
        json.String(std::to_string(track.timestamp).c_str());
        json.EndObject();
    }
    if (batch.size() > 1) {
        json.EndArray();
    }
    json.Key("@attr");
    json.StartObject();
    json.Key("accepted");
    json.Int(rejected ? 0 : static_cast<int>(batch.size()));
    json.Key("ignored");
    json.Int(rejected ? static_cast<int>(batch.size()) : 0);
    json.EndObject();
    json.EndObject();
    json.EndObject();
    if (!rejected) {
        scrobbles_.insert(scrobbles_.end(), batch.begin(), batch.end());
    }
    return text.GetString();
}

}  // namespace kiln::test
