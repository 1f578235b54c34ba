#include "services/web_requests.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace kiln::host {
namespace {

// What a built request keeps until it is freed: the transfer error text and
// where the caller wants to see it.
struct WebRequest {
    char errorBuffer[CURL_ERROR_SIZE] = {};
    char** errorOut = nullptr;
    std::string url;
    bool refused = false;  // by the routing: never performed
};

// The error out-pointer is found from the handle at perform time.
WebRequest* RequestOf(CURL* curl) {
    char* data = nullptr;
    curl_easy_getinfo(curl, CURLINFO_PRIVATE, &data);
    return reinterpret_cast<WebRequest*>(data);
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// libcurl refuses a URL holding a control character or a space. A template
// that spans lines is still one request: its line breaks travel encoded.
std::string EncodeRefusedBytes(const std::string& url) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

WebRouting& Routing() {
    static WebRouting routing;
    return routing;
}

// The dotted IPv4 address `host`, when it is one.
bool ParseIPv4(const std::string& host, unsigned (&parts)[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t digits = 0;
        unsigned value = 0;
        while (at < host.size() && host[at] >= '0' && host[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(host[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255 || (i < 3 && (at >= host.size() || host[at++] != '.'))) {
            return false;
        }
        parts[i] = value;
    }
    return at == host.size();
}

void EnsureGlobalInit() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
}

}  // namespace

void SetWebRouting(WebRouting routing) {
    Routing() = std::move(routing);
}

bool IsLocalAddress(const std::string& url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    authority =
        authority.substr(authority.find('@') == std::string::npos ? 0 : authority.find('@') + 1);
    std::string host;
    if (!authority.empty() && authority[0] == '[') {
        host =
            authority.substr(1, authority.find(']') == std::string::npos ? std::string::npos
                                                                         : authority.find(']') - 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    for (char& c : host) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (host == "localhost" || host == "::1") {
        return true;
    }
    unsigned p[4];
    if (ParseIPv4(host, p)) {
        return p[0] == 127 || p[0] == 10 || (p[0] == 172 && p[1] >= 16 && p[1] <= 31) ||
               (p[0] == 192 && p[1] == 168) || (p[0] == 169 && p[1] == 254);
    }
    // IPv6 unique-local (fc00::/7) and link-local (fe80::/10).
    if (host.find(':') != std::string::npos && host.size() >= 4) {
        return host[0] == 'f' && (host[1] == 'c' || host[1] == 'd' ||
                                  (host[1] == 'e' && host[2] >= '8' && host[2] <= 'b'));
    }
    return false;
}

void* CreateWebHandle() {
    if (Routing().available && !Routing().available()) {
        return nullptr;
    }
    EnsureGlobalInit();
    return curl_easy_init();
}

void* BuildWebRequest(void* handle, int mode, char** errorText, WebWriteRoutine write,
                      const char* url, int timeoutSeconds, void* userData) {
    auto* curl = static_cast<CURL*>(handle);
    if (!curl) {
        return nullptr;
    }
    auto* request = new WebRequest;
    request->errorOut = errorText;
    std::string address = url ? url : "";
    // A URL given without a scheme is taken as https.
    if (address.find("://") == std::string::npos) {
        address = "https://" + address;
    }
    request->refused = Routing().allows && !Routing().allows(address);
    if (Routing().mapUrl) {
        address = Routing().mapUrl(address);
    }
    request->url = EncodeRefusedBytes(address);
    curl_easy_setopt(curl, CURLOPT_URL, request->url.c_str());
    curl_easy_setopt(curl, CURLOPT_PRIVATE, reinterpret_cast<char*>(request));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, request->errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT,
                     static_cast<long>(timeoutSeconds > 0 ? timeoutSeconds : 10));
    const std::string& agent = Routing().userAgent;
    curl_easy_setopt(curl, CURLOPT_USERAGENT,
                     agent.empty() ? "ORBIT/5.9 (kiln-host)" : agent.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write ? write : &Discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, userData);
    if (mode == 1) {
        // A POST whose body, if any, the caller sets; never read from stdin.
        // The size stays "up to the terminator", so a body set later counts whole.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    }
    return request;
}

int SetWebOptionLong(void* handle, int option, long value) {
    if (!handle) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    return curl_easy_setopt(static_cast<CURL*>(handle), static_cast<CURLoption>(option), value);
}

int SetWebOptionPointer(void* handle, int option, const void* value) {
    if (!handle) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    return curl_easy_setopt(static_cast<CURL*>(handle), static_cast<CURLoption>(option), value);
}

int SetWebOptionOffset(void* handle, int option, int64_t value) {
    if (!handle) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    return curl_easy_setopt(static_cast<CURL*>(handle), static_cast<CURLoption>(option),
                            static_cast<curl_off_t>(value));
}

int PerformWebRequest(void** handle) {
    if (!handle || !*handle) {
        return CURLE_FAILED_INIT;
    }
    auto* curl = static_cast<CURL*>(*handle);
    WebRequest* request = RequestOf(curl);
    const bool refused = request && request->refused;
    CURLcode result = refused ? CURLE_COULDNT_CONNECT : curl_easy_perform(curl);
    if (result != CURLE_OK && request && request->errorOut) {
        const char* text = refused                   ? "The player reports no Internet connection"
                           : request->errorBuffer[0] ? request->errorBuffer
                                                     : curl_easy_strerror(result);
        size_t length = std::strlen(text);
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy) {
            std::memcpy(copy, text, length + 1);
            std::free(*request->errorOut);
            *request->errorOut = copy;
        }
    }
    return result;
}

long WebResponseCode(void* handle) {
    long code = 0;
    if (handle) {
        curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_RESPONSE_CODE, &code);
    }
    return code;
}

void FreeWebRequest(void* handle, void* request, char* errorText) {
    if (handle) {
        curl_easy_cleanup(static_cast<CURL*>(handle));
    }
    delete static_cast<WebRequest*>(request);
    std::free(errorText);
}

}  // namespace kiln::host
