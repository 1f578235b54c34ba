#include "scrobbler/service_request.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "plugin/curl_api.h"
#include "plugin/playing_title.h"
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

// What curl_escape makes of each byte that it changes ("%XX"); the bytes it
// keeps hold "%%%", never used. It escapes each byte on its own, so one call
// over every such byte, made once, serves every value.
using EscapeTable = std::array<std::array<char, 3>, 256>;

const EscapeTable* CurlEscapes(const CurlApi* curl) {
    static const std::optional<EscapeTable> table = [curl]() -> std::optional<EscapeTable> {
        std::string changed;
        for (int c = 0; c < 256; ++c) {
            if (!kUnreserved[c]) {
                changed += static_cast<char>(c);
            }
        }
        char* all = curl ? curl->escape(changed.data(), static_cast<int>(changed.size())) : nullptr;
        if (!all) {
            return std::nullopt;
        }
        std::optional<EscapeTable> escapes;
        if (std::strlen(all) == 3 * changed.size()) {
            escapes.emplace();
            escapes->fill({'%', '%', '%'});
            for (size_t i = 0; i < changed.size(); ++i) {
                std::memcpy((*escapes)[static_cast<unsigned char>(changed[i])].data(), all + 3 * i,
                            3);
            }
        }
        curl->free(all);
        return escapes;
    }();
    return table ? &*table : nullptr;
}

}  // namespace

char* BuildSignedBody(const ScrobbleParams& params) {
    const HostServices* host = Host();
    if (!host || params.empty()) {
        return nullptr;
    }
    const CurlApi* curl = Curl();
    static constexpr char kSignatureName[] = "&api_sig=";
    constexpr size_t kSignatureBytes = sizeof kSignatureName - 1 + kDigestBytes - 1;
    const EscapeTable* table = CurlEscapes(curl);

    // One pass over the map, which costs more to walk than the bytes in it:
    // the body goes straight into the buffer handed out, grown when a
    // generous first guess is short.
    constexpr size_t kGuessPerPair = 64;
    std::string signature;
    signature.reserve(kGuessPerPair * params.size());
    size_t capacity = kGuessPerPair * params.size();
    auto* out = table ? static_cast<char*>(TextAllocate(capacity)) : nullptr;
    size_t used = 0;
    std::string slow;  // the body when the values could not be escaped at once
    for (const auto& [name, value] : params) {
        signature.append(name).append(value);
        if (!table) {
            if (!slow.empty()) {
                slow += '&';
            }
            const bool plain = std::all_of(value.begin(), value.end(), Unreserved);
            if (plain) {
                slow.append(name).append(1, '=').append(value);
            } else if (char* one = curl
                                       ? curl->escape(value.c_str(), static_cast<int>(value.size()))
                                       : nullptr) {
                slow.append(name).append(1, '=').append(one);
                curl->free(one);
            }
            // A value that cannot be escaped stays out of the body but not
            // out of the signature, so the service refuses the request.
            continue;
        }
        // "&", the name, "=", the value at most tripled, two bytes the merge
        // writes ahead, and what follows the last pair.
        const size_t most = used + name.size() + 3 * value.size() + 4 + kSignatureBytes + 1;
        if (out && most > capacity) {
            capacity = std::max(2 * capacity, most);
            auto* grown = static_cast<char*>(TextAllocate(capacity));
            if (grown) {
                std::memcpy(grown, out, used);
            }
            TextRelease(out);
            out = grown;
        }
        if (!out) {
            continue;
        }
        char* w = out + used;
        if (used > 0) {
            *w++ = '&';
        }
        std::memcpy(w, name.data(), name.size());
        w += name.size();
        *w++ = '=';
        // Without a branch per byte: most are letters, the others come at
        // no regular place. The two bytes after an unreserved one are
        // written over next.
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            const bool plain = kUnreserved[byte];
            w[0] = plain ? c : '%';
            w[1] = (*table)[byte][1];
            w[2] = (*table)[byte][2];
            w += plain ? 1 : 3;
        }
        used = static_cast<size_t>(w - out);
    }
    signature += ScrobbleSharedSecret;
    char digest[kDigestBytes] = {};
    host->md5Text(signature.c_str(), digest, kDigestBytes);
    if (!table) {
        out = static_cast<char*>(TextAllocate(slow.size() + kSignatureBytes + 1));
        if (out) {
            std::memcpy(out, slow.data(), slow.size());
            used = slow.size();
        }
    }
    if (!out) {
        return nullptr;
    }
    char* w = out + used;
    std::memcpy(w, kSignatureName, sizeof kSignatureName - 1);
    std::memcpy(w + sizeof kSignatureName - 1, digest, kDigestBytes - 1);
    w[kSignatureBytes] = '\0';
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
