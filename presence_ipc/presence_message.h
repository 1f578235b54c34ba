// The text of the messages the presence client sends, and the reading of the
// application's replies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "presence_ipc/presence_client.h"

namespace kiln::presence_ipc {

// Writes the SET_ACTIVITY text of `record` into target[0, capacity) and
// returns the bytes stored (no terminator). The activity type comes from
// presenceActivityMode and presenceIsVideo at the time of the call.
size_t WriteActivityMessage(char* target, size_t capacity, int32_t nonce, int32_t pid,
                            const RichPresence& record);
// The same command without "activity": Discord then shows nothing of ours.
size_t WriteClearActivityMessage(char* target, size_t capacity, int32_t nonce, int32_t pid);

// Writes the handshake text {"v":1,"client_id":...}; returns the bytes stored.
size_t WriteHandshakeMessage(char* target, size_t capacity, const char* applicationId);

// Decimal text of a nonce, terminated; returns its length.
size_t FormatNonce(int32_t nonce, char (&text)[12]);

// Copies `text` into dest[0, width), always terminated; a text that does not
// fit is cut at a UTF-8 character boundary.
void CopyText(char* dest, size_t width, const char* text);
template <size_t N>
void CopyText(char (&dest)[N], const char* text) {
    CopyText(dest, N, text);
}

// What the client reads of a message from the application, found in one
// pass over the payload, which is parsed in place: the texts are decoded
// inside it and point into it, so they are valid only as long as that buffer.
// A member of another type than the one read counts as missing, and of two
// members of one name the first counts. Text that is not JSON, or that nests
// deeper than kMaxDepth, yields nothing; the pass stops once every member
// read at the top has been seen, without looking at the rest.
struct Reply {
    static constexpr int kMaxDepth = 128;

    const char* cmd = nullptr;
    const char* evt = nullptr;
    const char* nonce = nullptr;
    int32_t code = 0;               // "code": a Close frame's reason
    const char* message = nullptr;  // "message"
    bool hasData = false;           // "data" is an object:
    int32_t dataCode = 0;           //   its "code" (an ERROR reply's)
    const char* dataMessage = nullptr;
    bool hasUser = false;  //   its "user" object (READY's):
    const char* userId = nullptr;
    const char* userName = nullptr;
    const char* userDiscriminator = nullptr;
    const char* userAvatar = nullptr;

    // Parses the NUL-terminated `text` in place; false (and nothing found)
    // when it is not JSON.
    bool Parse(char* text);
};

}  // namespace kiln::presence_ipc
