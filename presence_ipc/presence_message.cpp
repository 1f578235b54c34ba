#include "presence_ipc/presence_message.h"

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <cstring>

namespace kiln {

std::atomic<uint32_t> presenceActivityMode{0};
std::atomic<bool> presenceIsVideo{false};

namespace presence_ipc {
namespace {

// Output into a fixed range: bytes beyond the capacity are counted, not stored.
class FixedTextStream {
  public:
    using Ch = char;
    FixedTextStream(char* target, size_t capacity) : target_(target), capacity_(capacity) {}
    void Put(char c) {
        if (stored_ < capacity_) {
            target_[stored_++] = c;
        }
        ++wanted_;
    }
    void Flush() {}
    size_t Stored() const { return stored_; }
    bool Complete() const { return wanted_ <= capacity_; }

  private:
    char* target_;
    size_t capacity_;
    size_t stored_ = 0;
    size_t wanted_ = 0;
};

// RapidJSON's writer with its nesting stack sized to one 2048-byte heap block,
// taken at the first value and released with the writer.
class MessageWriter : public rapidjson::Writer<FixedTextStream, rapidjson::UTF8<>,
                                               rapidjson::UTF8<>, rapidjson::CrtAllocator> {
  public:
    static constexpr size_t kStackBytes = 2048;
    MessageWriter(FixedTextStream& stream, rapidjson::CrtAllocator* allocator)
        : Writer(stream, allocator, kStackBytes / sizeof(Level)) {}
    void Text(const char* text, size_t length) {
        String(text, static_cast<rapidjson::SizeType>(length));
    }
    void Text(const char* text) { Text(text, std::strlen(text)); }
};

template <size_t N>
size_t FieldLength(const char (&field)[N]) {
    const void* end = std::memchr(field, 0, N);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - field) : N;
}

// Writes a text member only when the field holds something.
template <size_t N>
void OptionalText(MessageWriter& writer, const char* key, const char (&field)[N]) {
    size_t length = FieldLength(field);
    if (length > 0) {
        writer.Key(key);
        writer.Text(field, length);
    }
}

bool Present(const char* text) {
    return text && *text;
}

bool WriteActivity(FixedTextStream& stream, int32_t nonce, int32_t pid, const RichPresence* given,
                   bool withButton) {
    rapidjson::CrtAllocator stackHeap;
    MessageWriter writer(stream, &stackHeap);
    char nonceText[12];
    size_t nonceLength = FormatNonce(nonce, nonceText);

    writer.StartObject();
    writer.Key("nonce");
    writer.Text(nonceText, nonceLength);
    writer.Key("cmd");
    writer.Text("SET_ACTIVITY");
    writer.Key("args");
    writer.StartObject();
    writer.Key("pid");
    writer.Int(pid);
    if (!given) {
        writer.EndObject();
        writer.EndObject();
        return stream.Complete();
    }
    const RichPresence& record = *given;
    writer.Key("activity");
    writer.StartObject();
    OptionalText(writer, "state", record.state);
    OptionalText(writer, "details", record.details);
    if (record.startTime != 0 || record.endTime != 0) {
        writer.Key("timestamps");
        writer.StartObject();
        if (record.startTime != 0) {
            writer.Key("start");
            writer.Int64(record.startTime);
        }
        if (record.endTime != 0) {
            writer.Key("end");
            writer.Int64(record.endTime);
        }
        writer.EndObject();
    }
    if (FieldLength(record.largeImage) || FieldLength(record.largeText) ||
        FieldLength(record.smallImage) || FieldLength(record.smallText)) {
        writer.Key("assets");
        writer.StartObject();
        OptionalText(writer, "large_image", record.largeImage);
        OptionalText(writer, "large_text", record.largeText);
        OptionalText(writer, "small_image", record.smallImage);
        OptionalText(writer, "small_text", record.smallText);
        writer.EndObject();
    }
    uint32_t mode = presenceActivityMode.load(std::memory_order_relaxed);
    if (mode != 2) {
        bool watching = mode == 1 && presenceIsVideo.load(std::memory_order_relaxed);
        writer.Key("type");
        writer.Int(watching ? 3 : 2);
    }
    writer.Key("instance");
    writer.Bool(record.instance != 0);
    if (withButton && Present(record.buttonLabel) && Present(record.buttonUrl)) {
        writer.Key("buttons");
        writer.StartArray();
        writer.StartObject();
        writer.Key("url");
        writer.Text(record.buttonUrl);
        writer.Key("label");
        writer.Text(record.buttonLabel);
        writer.EndObject();
        writer.EndArray();
    }
    writer.EndObject();
    writer.EndObject();
    writer.EndObject();
    return stream.Complete();
}

// Forwards the parser's events to the document while counting the values it
// keeps pending, so that the fixed value stack is never asked to grow.
class BoundedHandler {
  public:
    using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                                FixedStackAllocator>;
    using Ch = char;
    explicit BoundedHandler(Document& document) : document_(document) {}

    bool Null() { return Take() && document_.Null(); }
    bool Bool(bool b) { return Take() && document_.Bool(b); }
    bool Int(int i) { return Take() && document_.Int(i); }
    bool Uint(unsigned u) { return Take() && document_.Uint(u); }
    bool Int64(int64_t i) { return Take() && document_.Int64(i); }
    bool Uint64(uint64_t u) { return Take() && document_.Uint64(u); }
    bool Double(double d) { return Take() && document_.Double(d); }
    bool RawNumber(const Ch* text, rapidjson::SizeType length, bool copy) {
        return Take() && document_.RawNumber(text, length, copy);
    }
    bool String(const Ch* text, rapidjson::SizeType length, bool copy) {
        return Take() && document_.String(text, length, copy);
    }
    bool Key(const Ch* text, rapidjson::SizeType length, bool copy) {
        return Take() && document_.Key(text, length, copy);
    }
    bool StartObject() { return Take() && document_.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        pending_ -= 2 * static_cast<size_t>(members);
        return document_.EndObject(members);
    }
    bool StartArray() { return Take() && document_.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        pending_ -= elements;
        return document_.EndArray(elements);
    }

  private:
    bool Take() {
        if (pending_ == ReplyDocument::kMaxPendingValues) {
            return false;
        }
        ++pending_;
        return true;
    }

    Document& document_;
    size_t pending_ = 0;
};

struct InPlaceParse {
    char* text;
    bool parsed = false;
    bool operator()(BoundedHandler::Document& document) {
        BoundedHandler handler(document);
        // With in-place parsing and plain numbers the reader keeps nothing of
        // its own on its stack, so it allocates nothing.
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator>
            reader;
        rapidjson::InsituStringStream stream(text);
        parsed = !reader.Parse<rapidjson::kParseInsituFlag>(stream, handler).IsError();
        return parsed;
    }
};

static_assert(sizeof(ReplyValue) == 16, "128 pending values fill the 2048-byte stack");

}  // namespace

size_t FormatNonce(int32_t nonce, char (&text)[12]) {
    // Digits of the magnitude, computed unsigned so that the most negative
    // value has one too.
    uint32_t magnitude =
        nonce < 0 ? 0u - static_cast<uint32_t>(nonce) : static_cast<uint32_t>(nonce);
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t length = 0;
    if (nonce < 0) {
        text[length++] = '-';
    }
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length] = 0;
    return length;
}

size_t WriteActivityMessage(char* target, size_t capacity, int32_t nonce, int32_t pid,
                            const RichPresence& record) {
    FixedTextStream stream(target, capacity);
    if (WriteActivity(stream, nonce, pid, &record, true)) {
        return stream.Stored();
    }
    // Only the button's texts are unbounded. A cut message is not valid JSON,
    // so the presence goes without its button; should even that not fit,
    // nothing is stored and the update is refused.
    FixedTextStream shorter(target, capacity);
    return WriteActivity(shorter, nonce, pid, &record, false) ? shorter.Stored() : 0;
}

size_t WriteClearActivityMessage(char* target, size_t capacity, int32_t nonce, int32_t pid) {
    FixedTextStream stream(target, capacity);
    return WriteActivity(stream, nonce, pid, nullptr, false) ? stream.Stored() : 0;
}

size_t WriteHandshakeMessage(char* target, size_t capacity, const char* applicationId) {
    FixedTextStream stream(target, capacity);
    rapidjson::CrtAllocator stackHeap;
    MessageWriter writer(stream, &stackHeap);
    writer.StartObject();
    writer.Key("v");
    writer.Int(1);
    writer.Key("client_id");
    writer.Text(applicationId ? applicationId : "");
    writer.EndObject();
    return stream.Stored();
}

void CopyText(char* dest, size_t width, const char* text) {
    if (width == 0) {
        return;
    }
    size_t length = text ? std::strlen(text) : 0;
    if (length >= width) {
        length = width - 1;
        // Back off to the start of the character that the cut would split.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    if (length > 0) {
        std::memmove(dest, text, length);
    }
    dest[length] = 0;
}

ReplyDocument::ReplyDocument()
    : allocator_(pool_, sizeof pool_, kPoolBytes, &heap_),
      document_(rapidjson::kObjectType, &allocator_, FixedStackAllocator::kBytes, &stack_) {}

bool ReplyDocument::Parse(char* text) {
    document_.SetObject();
    allocator_.Clear();
    if (!text) {
        return false;
    }
    // On failure the document keeps its value, the empty object set above.
    InPlaceParse parse{text};
    document_.Populate(parse);
    return parse.parsed;
}

const ReplyValue* GetObjectMember(const ReplyValue* value, const char* name) {
    if (!value || !value->IsObject()) {
        return nullptr;
    }
    auto member = value->FindMember(name);
    if (member == value->MemberEnd() || !member->value.IsObject()) {
        return nullptr;
    }
    return &member->value;
}

int32_t GetIntMember(const ReplyValue* value, const char* name) {
    if (!value || !value->IsObject()) {
        return 0;
    }
    auto member = value->FindMember(name);
    if (member == value->MemberEnd() || !member->value.IsInt()) {
        return 0;
    }
    return member->value.GetInt();
}

const char* GetStringMember(const ReplyValue* value, const char* name, const char* fallback) {
    if (!value || !value->IsObject()) {
        return fallback;
    }
    auto member = value->FindMember(name);
    if (member == value->MemberEnd() || !member->value.IsString()) {
        return fallback;
    }
    return member->value.GetString();
}

}  // namespace presence_ipc
}  // namespace kiln
