// The text of the messages the presence client sends, and the reading of the
// application's replies.
#pragma once

#include <rapidjson/document.h>

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

// The parser's value stack lives in a fixed block inside the document; it
// never grows (a reply that would need more fails its parse instead).
class FixedStackAllocator {
  public:
    static constexpr size_t kBytes = 2048;
    static const bool kNeedFree = false;
    void* Malloc(size_t size) { return size <= kBytes ? block_ : nullptr; }
    void* Realloc(void* original, size_t /*originalSize*/, size_t newSize) {
        return (original == nullptr || original == block_) && newSize <= kBytes ? block_ : nullptr;
    }
    static void Free(void*) {}

  private:
    alignas(16) char block_[kBytes];
};

using ReplyValue = rapidjson::Value;

// One received message, parsed in place. A fresh document is an empty object.
class ReplyDocument {
  public:
    static constexpr size_t kPoolBytes = 32768;
    // Values the parser may hold at one time (open containers, their members
    // and elements so far).
    static constexpr size_t kMaxPendingValues = FixedStackAllocator::kBytes / sizeof(ReplyValue);

    ReplyDocument();
    ReplyDocument(const ReplyDocument&) = delete;
    ReplyDocument& operator=(const ReplyDocument&) = delete;

    // Parses the NUL-terminated `text` in place: strings are decoded inside it
    // and point into it, so the document is valid only as long as that buffer.
    // On invalid JSON, or JSON that needs more than kMaxPendingValues at once,
    // returns false and leaves an empty object.
    bool Parse(char* text);

    const ReplyValue* Root() const { return &document_; }

  private:
    using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                                FixedStackAllocator>;

    FixedStackAllocator stack_;
    alignas(16) char pool_[kPoolBytes];
    rapidjson::CrtAllocator heap_;  // further pool blocks, only for unusually large replies
    rapidjson::MemoryPoolAllocator<> allocator_;
    Document document_;
};

// Lookups that never fail: none (or 0, or `fallback`) when `value` is none, is
// not an object, or has no member `name` of the wanted type.
const ReplyValue* GetObjectMember(const ReplyValue* value, const char* name);
int32_t GetIntMember(const ReplyValue* value, const char* name);
const char* GetStringMember(const ReplyValue* value, const char* name, const char* fallback);

}  // namespace kiln::presence_ipc
