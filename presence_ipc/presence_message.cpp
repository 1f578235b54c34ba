#include "presence_ipc/presence_message.h"

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

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

// Keeps only the members Reply holds, as the parser reports them, and stops
// the parse once every member read at the top has been seen.
class ReplyHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ReplyHandler> {
  public:
    using Ch = char;
    explicit ReplyHandler(Reply& reply) : reply_(reply) {}

    bool Finished() const { return finished_; }

    bool Default() { return Value(); }
    bool String(const Ch* text, rapidjson::SizeType, bool) {
        switch (pending_) {
            case Slot::Cmd:
                reply_.cmd = text;
                break;
            case Slot::Evt:
                reply_.evt = text;
                break;
            case Slot::Nonce:
                reply_.nonce = text;
                break;
            case Slot::Message:
                reply_.message = text;
                break;
            case Slot::DataMessage:
                reply_.dataMessage = text;
                break;
            case Slot::Id:
                reply_.userId = text;
                break;
            case Slot::Username:
                reply_.userName = text;
                break;
            case Slot::Discriminator:
                reply_.userDiscriminator = text;
                break;
            case Slot::Avatar:
                reply_.userAvatar = text;
                break;
            default:
                break;
        }
        return Value();
    }
    bool Int(int value) {
        if (pending_ == Slot::Code) {
            reply_.code = value;
        } else if (pending_ == Slot::DataCode) {
            reply_.dataCode = value;
        }
        return Value();
    }
    bool Uint(unsigned value) {
        return value <= static_cast<unsigned>(INT32_MAX) ? Int(static_cast<int>(value)) : Value();
    }
    bool Key(const Ch* text, rapidjson::SizeType length, bool) {
        pending_ = Slot::None;
        if (depth_ != known_) {
            return true;
        }
        const std::string_view name(text, length);
        if (known_ == 1) {
            Find(name, kTop);
        } else if (known_ == 2) {
            Find(name, kData);
        } else {
            Find(name, kUser);
        }
        return true;
    }
    bool StartObject() {
        if (depth_ == Reply::kMaxDepth) {
            return false;
        }
        if (depth_ == 0 ||
            (depth_ == known_ && (pending_ == Slot::Data || pending_ == Slot::User))) {
            reply_.hasData = reply_.hasData || pending_ == Slot::Data;
            reply_.hasUser = reply_.hasUser || pending_ == Slot::User;
            ++known_;
        }
        ++depth_;
        pending_ = Slot::None;
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return End(); }
    bool StartArray() {
        if (depth_ == Reply::kMaxDepth) {
            return false;
        }
        ++depth_;
        pending_ = Slot::None;
        return true;
    }
    bool EndArray(rapidjson::SizeType) { return End(); }

  private:
    enum class Slot {
        None,
        Cmd,
        Evt,
        Nonce,
        Code,
        Message,
        Data,
        DataCode,
        DataMessage,
        User,
        Id,
        Username,
        Discriminator,
        Avatar
    };
    static constexpr uint32_t kAllTop = (1u << 6) - 1;

    struct Name {
        std::string_view text;
        Slot slot;
    };
    static constexpr Name kTop[] = {{"cmd", Slot::Cmd},         {"evt", Slot::Evt},
                                    {"nonce", Slot::Nonce},     {"code", Slot::Code},
                                    {"message", Slot::Message}, {"data", Slot::Data}};
    static constexpr Name kData[] = {
        {"code", Slot::DataCode}, {"message", Slot::DataMessage}, {"user", Slot::User}};
    static constexpr Name kUser[] = {{"id", Slot::Id},
                                     {"username", Slot::Username},
                                     {"discriminator", Slot::Discriminator},
                                     {"avatar", Slot::Avatar}};

    // Compared byte by byte: most keys differ in length already, and a call
    // to memcmp per key would cost more than the reading of the reply.
    static bool Same(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }

    template <size_t N>
    void Find(std::string_view name, const Name (&table)[N]) {
        for (size_t i = 0; i < N; ++i) {
            if (Same(name, table[i].text)) {
                // Only the first member of a name counts.
                const uint32_t bit = 1u << (8 * (known_ - 1) + i);
                if ((seen_ & bit) == 0) {
                    seen_ |= bit;
                    pending_ = table[i].slot;
                }
                return;
            }
        }
    }

    // After a value: done when it completed the last member read at the top.
    bool Value() {
        pending_ = Slot::None;
        if (depth_ == 1 && known_ == 1 && seen_ % (1u << 8) == kAllTop) {
            finished_ = true;
            return false;
        }
        return true;
    }
    bool End() {
        if (depth_ == known_) {
            --known_;
        }
        --depth_;
        return depth_ == 0 || Value();
    }

    Reply& reply_;
    Slot pending_ = Slot::None;
    int depth_ = 0;      // containers open
    int known_ = 0;      // of them, the top object and the "data" and "user" in it
    uint32_t seen_ = 0;  // members of each known object seen, 8 bits per object
    bool finished_ = false;
};

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

bool Reply::Parse(char* text) {
    *this = Reply{};
    if (!text) {
        return false;
    }
    ReplyHandler handler(*this);
    // With in-place parsing and plain numbers the reader keeps nothing on its
    // stack; given an allocator, it takes no heap block either.
    rapidjson::CrtAllocator stackAllocator;
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator> reader(
        &stackAllocator, 0);
    rapidjson::InsituStringStream stream(text);
    const bool parsed =
        !reader.Parse<rapidjson::kParseInsituFlag>(stream, handler).IsError() || handler.Finished();
    if (!parsed) {
        *this = Reply{};
    }
    return parsed;
}

}  // namespace presence_ipc
}  // namespace kiln
