#include "core/text.h"

#include <algorithm>
#include <cstring>

namespace kiln::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Next code point of wide text at *i; invalid units give U+FFFD and clear *valid.
char32_t NextCodePoint(std::wstring_view text, size_t* i, bool* valid) {
    char32_t c;
    if constexpr (kWideIsUtf16) {
        c = static_cast<char16_t>(text[*i]);
        ++*i;
        if (c >= 0xD800 && c <= 0xDBFF && *i < text.size()) {
            const char32_t low = static_cast<char16_t>(text[*i]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++*i;
                return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
        }
    } else {
        c = static_cast<char32_t>(static_cast<uint32_t>(text[*i]));
        ++*i;
    }
    if (IsSurrogate(c) || c > 0x10FFFF) {
        *valid = false;
        return kReplacement;
    }
    return c;
}

int EncodeUtf8(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

int EncodeUtf16(char32_t c, char16_t units[2]) {
    if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        units[0] = static_cast<char16_t>(0xD800 + (c >> 10));
        units[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        return 2;
    }
    units[0] = static_cast<char16_t>(c > 0x10FFFF ? kReplacement : c);
    return 1;
}

void AppendCodePoint(std::wstring& out, char32_t c) {
    if constexpr (kWideIsUtf16) {
        char16_t units[2];
        const int count = EncodeUtf16(c, units);
        for (int i = 0; i < count; ++i) {
            out.push_back(static_cast<wchar_t>(units[i]));
        }
    } else {
        out.push_back(static_cast<wchar_t>(c));
    }
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text, bool* ok) {
    std::string out;
    out.reserve(text.size());
    bool valid = true;
    char bytes[4];
    for (size_t i = 0; i < text.size();) {
        out.append(bytes, static_cast<size_t>(EncodeUtf8(NextCodePoint(text, &i, &valid), bytes)));
    }
    if (ok != nullptr) {
        *ok = valid;
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view text, bool* ok) {
    std::wstring out;
    out.reserve(text.size());
    bool valid = true;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        int need = 0;
        char32_t c = 0;
        // The allowed range of the second byte rules out overlong forms,
        // surrogates and values above U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            c = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            c = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            AppendCodePoint(out, kReplacement);
            valid = false;
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        while (got < need && j < n) {
            const auto next = static_cast<unsigned char>(text[j]);
            if (next < low || next > high) {
                break;
            }
            low = 0x80;
            high = 0xBF;
            c = (c << 6) | (next & 0x3F);
            ++j;
            ++got;
        }
        if (got < need) {
            // The valid start of a sequence becomes one replacement; the byte
            // that broke it is looked at afresh.
            AppendCodePoint(out, kReplacement);
            valid = false;
        } else {
            AppendCodePoint(out, c);
        }
        i = j;
    }
    if (ok != nullptr) {
        *ok = valid;
    }
    return out;
}

int WideToUtf8Buffer(std::wstring_view text, char* out, int limit) {
    if (out == nullptr) {
        return 0;
    }
    const size_t room = limit > 0 ? static_cast<size_t>(limit) : 0;
    size_t written = 0;
    bool valid = true;
    char bytes[4];
    for (size_t i = 0; i < text.size() && text[i] != L'\0';) {
        const auto length = static_cast<size_t>(EncodeUtf8(NextCodePoint(text, &i, &valid), bytes));
        if (written + length > room) {
            break;
        }
        std::memcpy(out + written, bytes, length);
        written += length;
    }
    out[written] = '\0';
    return static_cast<int>(written);
}

int CopyToBuffer(std::wstring_view text, wchar_t* out, int size) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    if constexpr (kWideIsUtf16) {
        if (count > 0 && count < text.size()) {
            const auto last = static_cast<char16_t>(text[count - 1]);
            const auto next = static_cast<char16_t>(text[count]);
            if (last >= 0xD800 && last <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                --count;
            }
        }
    }
    std::copy_n(text.data(), count, out);
    out[count] = L'\0';
    return static_cast<int>(count);
}

int CopyToBuffer(std::string_view text, char* out, int size) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    if (count < text.size()) {
        // Cut before the character whose bytes would not all fit.
        while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80) {
            --count;
        }
    }
    std::memcpy(out, text.data(), count);
    out[count] = '\0';
    return static_cast<int>(count);
}

}  // namespace kiln::text
