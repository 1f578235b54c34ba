#include "core/wide_format.h"

#include <string>

#include "core/text.h"

namespace kiln {
namespace {

class Sink {
  public:
    Sink(wchar_t* out, size_t size) : out_(out), size_(size) {}
    void Put(wchar_t c) {
        if (used_ + 1 < size_) {
            out_[used_++] = c;
        }
    }
    // Narrow text is UTF-8; decoded so non-ASCII survives into wide text.
    void PutUtf8(const char* text) {
        const auto* p = reinterpret_cast<const unsigned char*>(text);
        while (*p) {
            unsigned c = *p;
            int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            if (c >= 0x80 && c < 0xC0) {
                Put(L'\xFFFD');
                ++p;
                continue;
            }
            char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
            ++p;
            bool bad = false;
            for (int i = 0; i < extra; ++i, ++p) {
                if ((*p & 0xC0) != 0x80) {
                    bad = true;
                    break;
                }
                cp = (cp << 6) | (*p & 0x3F);
            }
            if (bad) {
                Put(L'\xFFFD');
                continue;
            }
            PutCodePoint(cp);
        }
    }
    void PutCodePoint(char32_t cp) {
        if constexpr (sizeof(wchar_t) == 2) {
            char16_t units[2];
            if (text::EncodeUtf16(cp, units) == 2) {
                // Both halves or neither: a lone surrogate is not text.
                if (used_ + 2 < size_) {
                    Put(static_cast<wchar_t>(units[0]));
                    Put(static_cast<wchar_t>(units[1]));
                } else {
                    size_ = used_ + 1;  // stop here
                }
            } else {
                Put(static_cast<wchar_t>(units[0]));
            }
        } else {
            Put(static_cast<wchar_t>(cp));
        }
    }
    size_t Finish() {
        if (size_ > 0) {
            out_[used_] = L'\0';
        }
        return used_;
    }

  private:
    wchar_t* out_;
    size_t size_;
    size_t used_ = 0;
};

}  // namespace

size_t FormatWide(wchar_t* out, size_t size, const wchar_t* format,
                  std::initializer_list<FormatArg> args) {
    if (!out || size == 0) {
        return 0;
    }
    Sink sink(out, size);
    auto next = args.begin();
    for (const wchar_t* p = format ? format : L""; *p; ++p) {
        if (*p != L'%') {
            sink.Put(*p);
            continue;
        }
        ++p;
        if (*p == L'%') {
            sink.Put(L'%');
            continue;
        }
        enum class Want { Wide, Narrow, Number } want = Want::Wide;
        if (p[0] == L'h' && p[1] == L's') {
            want = Want::Narrow;
            p += 1;
        } else if (p[0] == L'w' && p[1] == L's') {
            p += 1;
        } else if (p[0] == L'l' && p[1] == L'l' && (p[2] == L'd' || p[2] == L'u')) {
            want = Want::Number;
            p += 2;
        } else if (p[0] == L'l' && (p[1] == L'd' || p[1] == L'u')) {
            want = Want::Number;
            p += 1;
        } else if (*p == L'd' || *p == L'u' || *p == L'i') {
            want = Want::Number;
        } else if (*p != L's') {
            if (*p == L'\0') {
                break;
            }
            sink.Put(L'%');
            sink.Put(*p);
            continue;
        }
        if (next == args.end()) {
            continue;
        }
        const FormatArg& arg = *next++;
        switch (arg.kind()) {
            case FormatArg::Kind::Wide:
                if (want != Want::Number && arg.wide()) {
                    for (const wchar_t* s = arg.wide(); *s; ++s) {
                        sink.Put(*s);
                    }
                }
                break;
            case FormatArg::Kind::Narrow:
                if (want != Want::Number && arg.narrow()) {
                    sink.PutUtf8(arg.narrow());
                }
                break;
            case FormatArg::Kind::Integer:
                if (want == Want::Number) {
                    for (wchar_t c : std::to_wstring(arg.integer())) {
                        sink.Put(c);
                    }
                }
                break;
        }
    }
    return sink.Finish();
}

size_t CopyWide(wchar_t* out, size_t size, const wchar_t* text) {
    if (!out || size == 0) {
        return 0;
    }
    size_t n = 0;
    if (text) {
        while (text[n] && n + 1 < size) {
            out[n] = text[n];
            ++n;
        }
    }
    out[n] = L'\0';
    return n;
}

}  // namespace kiln
