// The scrobbler's wire layer: signed, form-encoded requests to the
// scrobbling service through the host's web requests, and their outcome.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "scrobbler/deployment.h"
#include "scrobbler/service_reply.h"

namespace kiln {

inline constexpr const char* ScrobbleApiKey = KILN_SCROBBLE_API_KEY;
inline constexpr const char* ScrobbleSharedSecret = KILN_SCROBBLE_SHARED_SECRET;
inline constexpr const char* ScrobbleApiHost = KILN_SCROBBLE_API_HOST;
inline constexpr const char* ScrobbleApiEndpoint = KILN_SCROBBLE_API_HOST "2.0/?format=json";
inline constexpr const char* ScrobbleAuthHost = KILN_SCROBBLE_AUTH_HOST;

// Parameter name to UTF-8 value, in plain byte order of the names: the order
// of the body and of the signature ("albumArtist[0]" before "album[0]").
using ScrobbleParams = std::map<std::string, std::string>;

// The request body "name=escaped&...&api_sig=digest", the signature being the
// MD5 of name1 value1 name2 value2 ... secret with the raw values. A
// text-service buffer released with TextRelease; null for an empty set.
char* BuildSignedBody(const ScrobbleParams& params);

// One request through the host. mode 1 posts (with `postBody` when given),
// mode 0 gets. False when no request handle could be had. The transfer ends
// at quit, and once the reply has grown past kReplyLimit.
struct ServiceTransfer {
    std::string reply;
    std::string errorText;
    int resultCode = 0;
};
// The transfer's write routine: appends to the ServiceTransfer's reply.
size_t ReplyWriteRoutine(char* data, size_t size, size_t count, void* transfer);
bool PerformServiceRequest(int mode, const char* url, const char* postBody, bool wantErrorText,
                           ServiceTransfer& transfer);

// Sends a body of BuildSignedBody (and releases it), reads and classifies the
// reply, and sets the status text ending in the "Playing:" title of lastFile.
// errorCode, when given, receives the "error" of an error reply.
ScrobbleOutcome PostToScrobbleService(char* body, bool submission, const wchar_t* lastFile,
                                      int* errorCode = nullptr);

}  // namespace kiln
