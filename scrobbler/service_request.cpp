#include "scrobbler/service_request.h"

#include <cstdio>
#include <cstring>

#include "outputs/now_playing.h"
#include "plugin/curl_api.h"
#include "plugin/host_services.h"
#include "scrobbler/status.h"
#include "scrobbler/text_service.h"

namespace kiln {
namespace {

constexpr int kPostFieldsOption = 10015;  // CURLOPT_POSTFIELDS
constexpr int kPostFieldSizeOption = 60;  // CURLOPT_POSTFIELDSIZE
constexpr int kTimeoutSeconds = 10;
constexpr int kDigestBytes = 33;

}  // namespace

char* BuildSignedBody(const ScrobbleParams& params) {
    const HostServices* host = Host();
    if (!host || params.empty()) {
        return nullptr;
    }
    const CurlApi* curl = Curl();
    std::string body;
    std::string signature;
    for (const auto& [name, value] : params) {
        if (!body.empty()) {
            body += '&';
        }
        // A value that cannot be escaped stays out of the body but not out
        // of the signature, so the service refuses the request.
        char* escaped =
            curl ? curl->escape(value.c_str(), static_cast<int>(value.size())) : nullptr;
        if (escaped) {
            body += name;
            body += '=';
            body += escaped;
            curl->free(escaped);
        }
        signature += name;
        signature += value;
    }
    signature += ScrobbleSharedSecret;
    char digest[kDigestBytes] = {};
    host->md5Text(signature.c_str(), digest, kDigestBytes);

    const size_t limit = body.size() + 42;
    auto* out = static_cast<char*>(TextAllocate(body.size() + 43));
    if (!out) {
        return nullptr;
    }
    std::snprintf(out, limit, "%s&api_sig=%s", body.c_str(), digest);
    return out;
}

size_t ReplyWriteRoutine(char* data, size_t size, size_t count, void* reply) {
    const size_t bytes = size * count;
    if (reply && data && bytes > 0) {
        static_cast<std::string*>(reply)->append(data, bytes);
    }
    return bytes;
}

bool PerformServiceRequest(int mode, const char* url, const char* postBody, bool wantErrorText,
                           ServiceTransfer& transfer) {
    const HostServices* host = Host();
    if (!host) {
        return false;
    }
    void* handle = host->createWebHandle();
    if (!handle) {
        return false;
    }
    char* errorText = nullptr;
    void* request =
        host->buildWebRequest(handle, mode, wantErrorText ? &errorText : nullptr,
                              &ReplyWriteRoutine, url, kTimeoutSeconds, &transfer.reply);
    if (postBody) {
        host->setWebOptionPointer(handle, kPostFieldsOption, postBody);
        // The body's size is given too: a host that primes an empty POST has
        // set a size of 0, which would otherwise cut the body away.
        host->setWebOptionLong(handle, kPostFieldSizeOption,
                               static_cast<long>(std::strlen(postBody)));
    }
    transfer.resultCode = host->performWebRequest(&handle);
    if (errorText) {
        transfer.errorText = errorText;
    }
    host->freeWebRequest(handle, request, errorText);
    return true;
}

ScrobbleOutcome PostToScrobbleService(char* body, bool submission, const wchar_t* lastFile) {
    if (!body) {
        return ScrobbleOutcome::NotSent;
    }
    ServiceTransfer transfer;
    wchar_t status[kStatusChars] = L"";
    if (!PerformServiceRequest(1, ScrobbleApiEndpoint, body, true, transfer)) {
        TextRelease(body);
        SetScrobblerStatus(L"Unable to create a curl / web connection needed for scrobbling.",
                           false);
        return ScrobbleOutcome::NotSent;
    }
    TextRelease(body);
    const ReplyVerdict verdict = ClassifyReply(transfer.reply, submission);
    const TransferResult result{transfer.errorText.empty() ? nullptr : transfer.errorText.c_str(),
                                transfer.resultCode};
    if (DescribeVerdict(verdict, submission, result, PlayingTitle(lastFile ? lastFile : L""),
                        status, kStatusChars)) {
        SetScrobblerStatus(status, false);
    }
    return verdict.outcome;
}

}  // namespace kiln
