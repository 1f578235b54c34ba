#include "presence_ipc/presence_message.h"

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <array>
#include <bit>
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

// A reply is read by hand rather than through RapidJSON's reader: the reader
// copies every string byte by byte and reports every value, while a reply is
// mostly members nobody reads. The grammar is the one RapidJSON accepts with
// its default flags, so a text is a reply exactly when a document would parse
// it; numbers other than short integers are even left to RapidJSON itself,
// whose range limits on them are its own.
class ReplyReader {
  public:
    explicit ReplyReader(Reply& reply) : reply_(reply) {}

    // True when `text` is JSON, or when every member read at the top was seen
    // before anything wrong.
    bool Read(char* text) {
        at_ = text;
        end_ = text + std::strlen(text);
        SkipSpace();
        if (*at_ == 0) {
            return false;
        }
        const Outcome outcome = ReadValue(Slot::None, 0);
        if (outcome != Outcome::Read) {
            return outcome == Outcome::Stopped;
        }
        SkipSpace();
        return *at_ == 0;
    }

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
    // Stopped: the top object ended early, all its members read having been seen.
    enum class Outcome { Failed, Read, Stopped };
    // The objects whose members are looked at.
    enum Level { kOther = 0, kTop = 1, kData = 2, kUser = 3 };

    struct Name {
        std::string_view text;
        Slot slot;
    };
    static constexpr Name kTopNames[] = {{"cmd", Slot::Cmd},         {"evt", Slot::Evt},
                                         {"nonce", Slot::Nonce},     {"code", Slot::Code},
                                         {"message", Slot::Message}, {"data", Slot::Data}};
    static constexpr Name kDataNames[] = {
        {"code", Slot::DataCode}, {"message", Slot::DataMessage}, {"user", Slot::User}};
    static constexpr Name kUserNames[] = {{"id", Slot::Id},
                                          {"username", Slot::Username},
                                          {"discriminator", Slot::Discriminator},
                                          {"avatar", Slot::Avatar}};

    // Bytes that stand for themselves inside a string.
    static constexpr std::array<bool, 256> kPlain = [] {
        std::array<bool, 256> plain{};
        for (size_t c = 0x20; c < plain.size(); ++c) {
            plain[c] = c != '"' && c != '\\';
        }
        return plain;
    }();

    [[gnu::always_inline]] void SkipSpace() {
        while (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t') {
            ++at_;
        }
    }

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

    // The slot of a member of a looked-at object; only the first member of a
    // name counts.
    template <size_t N>
    Slot Find(std::string_view name, const Name (&table)[N], uint32_t& seen) {
        for (size_t i = 0; i < N; ++i) {
            if (Same(name, table[i].text)) {
                const uint32_t bit = 1u << i;
                if ((seen & bit) != 0) {
                    return Slot::None;
                }
                seen |= bit;
                return table[i].slot;
            }
        }
        return Slot::None;
    }

    // Decodes the string at the opening quote in place and terminates it.
    [[gnu::always_inline]] bool ReadString(std::string_view& text) {
        char* const begin = ++at_;
        char* from = begin;
        // Eight bytes at a time while they lie inside the text; the lowest
        // flag marks the first byte that ends the plain run exactly (only
        // bytes after it may be flagged wrongly).
        static_assert(std::endian::native == std::endian::little);
        constexpr uint64_t kOnes = 0x0101010101010101u;
        constexpr uint64_t kHigh = 0x8080808080808080u;
        for (;;) {
            if (end_ - from < 8) {
                while (kPlain[static_cast<unsigned char>(*from)]) {
                    ++from;
                }
                break;
            }
            uint64_t word = 0;
            std::memcpy(&word, from, sizeof word);
            const uint64_t quote = word ^ (kOnes * '"');
            const uint64_t backslash = word ^ (kOnes * '\\');
            const uint64_t stop = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                  ((word - kOnes * 0x20) & ~word);
            if ((stop & kHigh) != 0) {
                from += std::countr_zero(stop & kHigh) / 8;
                break;
            }
            from += 8;
        }
        char* to = from;
        for (;;) {
            const char c = *from;
            if (c == '"') {
                *to = 0;
                at_ = from + 1;
                text = {begin, static_cast<size_t>(to - begin)};
                return true;
            }
            if (c == '\\') {
                if (!Unescape(from, to)) {
                    return false;
                }
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return false;  // the end of the text, or a control character
            } else {
                *to++ = *from++;
            }
        }
    }

    static bool Hex4(char*& from, uint32_t& value) {
        value = 0;
        for (int i = 0; i < 4; ++i, ++from) {
            const char c = *from;
            uint32_t digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint32_t>(c - '0');
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<uint32_t>(c - 'A' + 10);
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<uint32_t>(c - 'a' + 10);
            } else {
                return false;
            }
            value = value << 4 | digit;
        }
        return true;
    }

    // One escape at `from` into `to`, which never runs ahead of it. A high
    // surrogate must be followed by a low one; a lone low one is encoded as
    // it stands, as RapidJSON does.
    [[gnu::cold, gnu::noinline]] static bool Unescape(char*& from, char*& to) {
        const char e = from[1];
        const char* simple = "\"\"//\\\\b\bf\fn\nr\rt\t";
        for (const char* pair = simple; *pair; pair += 2) {
            if (e == pair[0]) {
                *to++ = pair[1];
                from += 2;
                return true;
            }
        }
        if (e != 'u') {
            return false;
        }
        from += 2;
        uint32_t code = 0;
        if (!Hex4(from, code)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (from[0] != '\\' || from[1] != 'u') {
                return false;
            }
            from += 2;
            if (!Hex4(from, low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = (((code - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
        }
        if (code < 0x80) {
            *to++ = static_cast<char>(code);
        } else if (code < 0x800) {
            *to++ = static_cast<char>(0xC0 | code >> 6);
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *to++ = static_cast<char>(0xE0 | code >> 12);
            *to++ = static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *to++ = static_cast<char>(0xF0 | code >> 18);
            *to++ = static_cast<char>(0x80 | (code >> 12 & 0x3F));
            *to++ = static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
        }
        return true;
    }

    // What RapidJSON reports of a number: an int only for an integer within
    // int32_t, whose value `code` then holds.
    struct NumberHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, NumberHandler> {
        bool isInt = false;
        int32_t code = 0;
        bool Default() { return true; }
        bool Int(int value) {
            isInt = true;
            code = value;
            return true;
        }
        bool Uint(unsigned value) {
            return value <= static_cast<unsigned>(INT32_MAX) ? Int(static_cast<int>(value)) : true;
        }
    };

    bool ReadNumber(Slot slot) {
        char* const start = at_;
        const bool minus = *at_ == '-';
        at_ += minus ? 1 : 0;
        int64_t magnitude = 0;
        int digits = 0;
        if (*at_ == '0') {
            ++at_;
            digits = 1;
        } else {
            for (; *at_ >= '0' && *at_ <= '9' && digits < 18; ++at_, ++digits) {
                magnitude = magnitude * 10 + (*at_ - '0');
            }
        }
        if (digits == 0) {
            return false;
        }
        int32_t code = 0;
        bool isInt = false;
        if (*at_ == '.' || *at_ == 'e' || *at_ == 'E' || (*at_ >= '0' && *at_ <= '9')) {
            // A fraction, an exponent or a long integer: RapidJSON decides
            // what it is, and whether it is too big.
            NumberHandler handler;
            rapidjson::CrtAllocator stackAllocator;
            rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator>
                reader(&stackAllocator, 0);
            rapidjson::StringStream stream(start);
            if (reader.Parse<rapidjson::kParseStopWhenDoneFlag>(stream, handler).IsError()) {
                return false;
            }
            at_ = start + stream.Tell();
            isInt = handler.isInt;
            code = handler.code;
        } else {
            const int64_t value = minus ? -magnitude : magnitude;
            isInt = value >= INT32_MIN && value <= INT32_MAX;
            code = static_cast<int32_t>(value);
        }
        if (isInt && slot == Slot::Code) {
            reply_.code = code;
        } else if (isInt && slot == Slot::DataCode) {
            reply_.dataCode = code;
        }
        return true;
    }

    bool ReadLiteral(std::string_view word) {
        for (char c : word) {
            if (*at_ != c) {
                return false;
            }
            ++at_;
        }
        return true;
    }

    const char** TextOf(Slot slot) {
        switch (slot) {
            case Slot::Cmd:
                return &reply_.cmd;
            case Slot::Evt:
                return &reply_.evt;
            case Slot::Nonce:
                return &reply_.nonce;
            case Slot::Message:
                return &reply_.message;
            case Slot::DataMessage:
                return &reply_.dataMessage;
            case Slot::Id:
                return &reply_.userId;
            case Slot::Username:
                return &reply_.userName;
            case Slot::Discriminator:
                return &reply_.userDiscriminator;
            case Slot::Avatar:
                return &reply_.userAvatar;
            default:
                return nullptr;
        }
    }

    // The value at `at_`, for `slot`, inside `depth` open containers.
    Outcome ReadValue(Slot slot, int depth) {
        switch (*at_) {
            case '"':
                return ReadText(slot) ? Outcome::Read : Outcome::Failed;
            case '{':
                if (depth == 0) {
                    return ReadObject<kTop>(1);
                }
                if (slot == Slot::Data) {
                    reply_.hasData = true;
                    return ReadObject<kData>(depth + 1);
                }
                if (slot == Slot::User) {
                    reply_.hasUser = true;
                    return ReadObject<kUser>(depth + 1);
                }
                return ReadObject<kOther>(depth + 1);
            case '[':
                return ReadArray(depth + 1);
            case 't':
                return ReadLiteral("true") ? Outcome::Read : Outcome::Failed;
            case 'f':
                return ReadLiteral("false") ? Outcome::Read : Outcome::Failed;
            case 'n':
                return ReadLiteral("null") ? Outcome::Read : Outcome::Failed;
            default:
                return ReadNumber(slot) ? Outcome::Read : Outcome::Failed;
        }
    }

    // A string value, kept when `slot` is one of a text.
    [[gnu::always_inline]] bool ReadText(Slot slot) {
        std::string_view text;
        if (!ReadString(text)) {
            return false;
        }
        if (const char** member = TextOf(slot)) {
            *member = text.data();
        }
        return true;
    }

    template <Level level>
    Outcome ReadObject(int depth) {
        if (depth > Reply::kMaxDepth) {
            return Outcome::Failed;
        }
        ++at_;
        SkipSpace();
        if (*at_ == '}') {
            ++at_;
            return Outcome::Read;
        }
        uint32_t seen = 0;
        for (;;) {
            std::string_view name;
            if (*at_ != '"' || !ReadString(name)) {
                return Outcome::Failed;
            }
            Slot slot = Slot::None;
            if constexpr (level == kTop) {
                slot = Find(name, kTopNames, seen);
            } else if constexpr (level == kData) {
                slot = Find(name, kDataNames, seen);
            } else if constexpr (level == kUser) {
                slot = Find(name, kUserNames, seen);
            }
            SkipSpace();
            if (*at_ != ':') {
                return Outcome::Failed;
            }
            ++at_;
            SkipSpace();
            // Strings, the most common values, without the call.
            if (*at_ == '"' ? !ReadText(slot) : ReadValue(slot, depth) == Outcome::Failed) {
                return Outcome::Failed;
            }
            if (level == kTop && seen == (1u << std::size(kTopNames)) - 1) {
                return Outcome::Stopped;
            }
            SkipSpace();
            if (*at_ == '}') {
                ++at_;
                return Outcome::Read;
            }
            if (*at_ != ',') {
                return Outcome::Failed;
            }
            ++at_;
            SkipSpace();
        }
    }

    Outcome ReadArray(int depth) {
        if (depth > Reply::kMaxDepth) {
            return Outcome::Failed;
        }
        ++at_;
        SkipSpace();
        if (*at_ == ']') {
            ++at_;
            return Outcome::Read;
        }
        for (;;) {
            if (ReadValue(Slot::None, depth) == Outcome::Failed) {
                return Outcome::Failed;
            }
            SkipSpace();
            if (*at_ == ']') {
                ++at_;
                return Outcome::Read;
            }
            if (*at_ != ',') {
                return Outcome::Failed;
            }
            ++at_;
            SkipSpace();
        }
    }

    Reply& reply_;
    char* at_ = nullptr;
    const char* end_ = nullptr;  // the terminator
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
    const bool parsed = ReplyReader(*this).Read(text);
    if (!parsed) {
        *this = Reply{};
    }
    return parsed;
}

}  // namespace presence_ipc
}  // namespace kiln
