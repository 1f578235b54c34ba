#include "scrobbler/service_request.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "outputs/now_playing.h"
#include "plugin/curl_api.h"
#include "plugin/quit_signal.h"
#include "scrobbler/status.h"
#include "scrobbler/text_service.h"

namespace kiln {
namespace {

constexpr int kPostFieldsOption = contract::kWebOptionPostFields;
constexpr int kPostFieldSizeOption = contract::kWebOptionPostFieldSize;
constexpr int kTimeoutSeconds = 10;
constexpr int kDigestBytes = 33;

}  // namespace

namespace {

// The bytes percent-encoding leaves as they are.
constexpr std::array<bool, 256> kUnreserved = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == '~';
    }
    return table;
}();

bool Unreserved(char c) {
    return kUnreserved[static_cast<unsigned char>(c)];
}

}  // namespace

char* BuildSignedBody(const ScrobbleParams& params) {
    const HostServices* host = Host();
    if (!host || params.empty()) {
        return nullptr;
    }
    const CurlApi* curl = Curl();
    struct Pair {
        const std::string* name;
        const std::string* value;
        bool plain;  // nothing to escape
    };
    std::vector<Pair> pairs;
    pairs.reserve(params.size());
    size_t signatureSize = std::strlen(ScrobbleSharedSecret) + 1;
    size_t bodySize = 0;
    // curl_escape turns each byte on its own into itself or "%XX", so one
    // call escapes the bytes that change of every value at once.
    std::string special;
    for (const auto& [name, value] : params) {
        signatureSize += name.size() + value.size();
        bodySize += name.size() + 2 + value.size();
        const size_t before = special.size();
        for (const char c : value) {
            if (!Unreserved(c)) {
                special += c;
            }
        }
        pairs.push_back({&name, &value, special.size() == before});
    }
    bodySize += 2 * special.size();
    char* escapedAll = nullptr;
    if (curl && !special.empty()) {
        escapedAll = curl->escape(special.data(), static_cast<int>(special.size()));
        if (escapedAll && std::strlen(escapedAll) != 3 * special.size()) {
            curl->free(escapedAll);
            escapedAll = nullptr;
        }
    }
    const char* nextEscaped = escapedAll;

    std::string body;
    body.reserve(bodySize);
    std::string signature;
    signature.reserve(signatureSize);
    for (const Pair& pair : pairs) {
        const std::string& name = *pair.name;
        const std::string& value = *pair.value;
        if (!body.empty()) {
            body += '&';
        }
        if (pair.plain) {
            body.append(name).append(1, '=').append(value);
        } else if (nextEscaped) {
            body.append(name).append(1, '=');
            size_t run = 0;  // start of the unreserved bytes not yet copied
            for (size_t i = 0; i < value.size(); ++i) {
                if (!Unreserved(value[i])) {
                    body.append(value, run, i - run).append(nextEscaped, 3);
                    nextEscaped += 3;
                    run = i + 1;
                }
            }
            body.append(value, run, std::string::npos);
        } else if (char* escaped = curl
                                       ? curl->escape(value.c_str(), static_cast<int>(value.size()))
                                       : nullptr) {
            body.append(name).append(1, '=').append(escaped);
            curl->free(escaped);
        }
        // A value that cannot be escaped stays out of the body but not out
        // of the signature, so the service refuses the request.
        signature.append(name).append(value);
    }
    if (escapedAll) {
        curl->free(escapedAll);
    }
    signature += ScrobbleSharedSecret;
    char digest[kDigestBytes] = {};
    host->md5Text(signature.c_str(), digest, kDigestBytes);

    auto* out = static_cast<char*>(TextAllocate(body.size() + 43));
    if (!out) {
        return nullptr;
    }
    static constexpr char kSignatureName[] = "&api_sig=";
    std::memcpy(out, body.data(), body.size());
    std::memcpy(out + body.size(), kSignatureName, sizeof kSignatureName - 1);
    std::memcpy(out + body.size() + sizeof kSignatureName - 1, digest, kDigestBytes - 1);
    out[body.size() + sizeof kSignatureName - 1 + kDigestBytes - 1] = '\0';
    return out;
}

size_t ReplyWriteRoutine(char* data, size_t size, size_t count, void* transfer) {
    const size_t bytes = size * count;
    if (!transfer || !data || bytes == 0) {
        return bytes;
    }
    std::string& reply = static_cast<ServiceTransfer*>(transfer)->reply;
    // One byte past the limit is kept, so the reader sees it was too long;
    // returning less than given ends the transfer.
    const size_t room = kReplyLimit + 1 - std::min(reply.size(), kReplyLimit + 1);
    reply.append(data, std::min(bytes, room));
    return bytes <= room ? bytes : 0;
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
    void* request = host->buildWebRequest(handle, mode, wantErrorText ? &errorText : nullptr,
                                          &ReplyWriteRoutine, url, kTimeoutSeconds, &transfer);
    AbortTransferOnQuit(host, handle);
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

ScrobbleOutcome PostToScrobbleService(char* body, bool submission, const wchar_t* lastFile,
                                      int* errorCode) {
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
    if (errorCode) {
        *errorCode = verdict.outcome == ScrobbleOutcome::ErrorReply ? verdict.code : 0;
    }
    const TransferResult result{transfer.errorText.empty() ? nullptr : transfer.errorText.c_str(),
                                transfer.resultCode};
    if (DescribeVerdict(verdict, submission, result, PlayingTitle(lastFile ? lastFile : L""),
                        status, kStatusChars)) {
        SetScrobblerStatus(status, false);
    }
    return verdict.outcome;
}

}  // namespace kiln
