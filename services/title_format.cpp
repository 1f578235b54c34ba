#include "services/title_format.h"

#include "services/text_services.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kiln::host {
namespace {

// Longest run $num and $pad will pad to.
constexpr int64_t kMaxPad = 16384;
constexpr int64_t kIntLimit = 999'999'999'999'999'999;

// Text plus whether it inserted a field that had a value.
struct Piece {
    std::wstring text;
    bool truth = false;
};

void AppendCapped(std::wstring& to, std::wstring_view text) {
    if (to.size() >= kTitleMaxLength) {
        return;
    }
    to.append(text.substr(0, kTitleMaxLength - to.size()));
}

void AppendCapped(std::wstring& to, wchar_t c) {
    if (to.size() < kTitleMaxLength) {
        to.push_back(c);
    }
}

// Case mapping of our own, so that results do not depend on the process locale.
// Covers ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
bool InEvenUpperRange(wchar_t c) {
    return (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
}
bool InOddUpperRange(wchar_t c) {
    return (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
}

wchar_t ToUpper(wchar_t c) {
    if (c >= L'a' && c <= L'z') {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c < 0xE0) {
        return c;
    }
    if (c <= 0xFE) {
        return c == 0xF7 ? c : static_cast<wchar_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (InEvenUpperRange(c)) {
        return (c & 1) ? static_cast<wchar_t>(c - 1) : c;
    }
    if (InOddUpperRange(c)) {
        return (c & 1) ? c : static_cast<wchar_t>(c - 1);
    }
    if (c == 0x131) {
        return L'I';
    }
    if (c == 0x17F) {
        return L'S';
    }
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) {
        return static_cast<wchar_t>(c - 0x20);
    }
    switch (c) {
        case 0x3C2:
            return 0x3A3;  // final sigma
        case 0x3AC:
            return 0x386;
        case 0x3AD:
        case 0x3AE:
        case 0x3AF:
            return static_cast<wchar_t>(c - 0x25);
        case 0x3CC:
            return 0x38C;
        case 0x3CD:
        case 0x3CE:
            return static_cast<wchar_t>(c - 0x3F);
        default:
            break;
    }
    if (c >= 0x430 && c <= 0x44F) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<wchar_t>(c - 0x50);
    }
    return c;
}

wchar_t ToLower(wchar_t c) {
    if (c >= L'A' && c <= L'Z') {
        return static_cast<wchar_t>(c + 0x20);
    }
    if (c < 0xC0) {
        return c;
    }
    if (c <= 0xDE) {
        return c == 0xD7 ? c : static_cast<wchar_t>(c + 0x20);
    }
    if (InEvenUpperRange(c)) {
        return (c & 1) ? c : static_cast<wchar_t>(c + 1);
    }
    if (InOddUpperRange(c)) {
        return (c & 1) ? static_cast<wchar_t>(c + 1) : c;
    }
    if (c == 0x130) {
        return L'i';
    }
    if (c == 0x178) {
        return 0xFF;
    }
    if ((c >= 0x391 && c <= 0x3A1) || (c >= 0x3A3 && c <= 0x3AB)) {
        return static_cast<wchar_t>(c + 0x20);
    }
    switch (c) {
        case 0x386:
            return 0x3AC;
        case 0x388:
        case 0x389:
        case 0x38A:
            return static_cast<wchar_t>(c + 0x25);
        case 0x38C:
            return 0x3CC;
        case 0x38E:
        case 0x38F:
            return static_cast<wchar_t>(c + 0x3F);
        default:
            break;
    }
    if (c >= 0x410 && c <= 0x42F) {
        return static_cast<wchar_t>(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<wchar_t>(c + 0x50);
    }
    return c;
}

std::wstring Lowered(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        c = ToLower(c);
    }
    return out;
}

bool IsSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Leading integer of a text, as numeric arguments are read: optional blanks
// and sign, then digits; anything else ends it. Saturates instead of overflowing.
int64_t LeadingInt(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        int64_t digit = text[i] - L'0';
        value = value > (kIntLimit - digit) / 10 ? kIntLimit : value * 10 + digit;
    }
    return negative ? -value : value;
}

size_t CountOf(const Piece& p, int64_t n) {
    return static_cast<size_t>(std::clamp<int64_t>(n, 0, static_cast<int64_t>(p.text.size())));
}

bool AnyTrue(const std::vector<Piece>& args) {
    return std::any_of(args.begin(), args.end(), [](const Piece& p) { return p.truth; });
}

using Function = bool (*)(std::vector<Piece>& args, Piece& result);

struct FunctionEntry {
    std::wstring_view name;
    size_t minArgs;
    size_t maxArgs;
    Function run;
};

constexpr size_t kAnyCount = static_cast<size_t>(-1);

bool FnIf(std::vector<Piece>& a, Piece& r) {
    if (a[0].truth) {
        r = std::move(a[1]);
    } else if (a.size() == 3) {
        r = std::move(a[2]);
    }
    return true;
}

bool FnIf2(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0].truth ? a[0] : a[1]);
    return true;
}

bool FnIf3(std::vector<Piece>& a, Piece& r) {
    auto chosen = std::find_if(a.begin(), a.end() - 1, [](const Piece& p) { return p.truth; });
    r = std::move(*chosen);  // the last argument when none was true
    return true;
}

bool FnPathSafe(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0]);
    for (wchar_t& c : r.text) {
        if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) {
            c = L'_';
        }
    }
    return true;
}

bool FnFilePart(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0]);
    size_t cut = r.text.find_last_of(L"/\\");
    if (cut != std::wstring::npos) {
        r.text.erase(0, cut + 1);
    }
    return true;
}

bool FnLen(std::vector<Piece>& a, Piece& r) {
    r.text = std::to_wstring(a[0].text.size());
    r.truth = a[0].truth;
    return true;
}

bool FnLeft(std::vector<Piece>& a, Piece& r) {
    r.truth = AnyTrue(a);
    r.text = a[0].text.substr(0, CountOf(a[0], LeadingInt(a[1].text)));
    return true;
}

bool FnRight(std::vector<Piece>& a, Piece& r) {
    r.truth = AnyTrue(a);
    size_t n = CountOf(a[0], LeadingInt(a[1].text));
    r.text = a[0].text.substr(a[0].text.size() - n);
    return true;
}

bool FnUpper(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0]);
    std::transform(r.text.begin(), r.text.end(), r.text.begin(), ToUpper);
    return true;
}

bool FnLower(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0]);
    std::transform(r.text.begin(), r.text.end(), r.text.begin(), ToLower);
    return true;
}

bool FnNum(std::vector<Piece>& a, Piece& r) {
    r.truth = AnyTrue(a);
    int64_t n = LeadingInt(a[0].text);
    size_t width = static_cast<size_t>(std::clamp<int64_t>(LeadingInt(a[1].text), 0, kMaxPad));
    std::wstring digits = std::to_wstring(n < 0 ? -n : n);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), L'0');
    }
    r.text = n < 0 ? L"-" + digits : digits;
    return true;
}

bool FnPad(std::vector<Piece>& a, Piece& r) {
    r.truth = AnyTrue(a);
    size_t width = static_cast<size_t>(std::clamp<int64_t>(LeadingInt(a[1].text), 0, kMaxPad));
    wchar_t fill = (a.size() == 3 && !a[2].text.empty()) ? a[2].text[0] : L' ';
    r.text = std::move(a[0].text);
    if (r.text.size() < width) {
        r.text.append(width - r.text.size(), fill);
    }
    return true;
}

bool FnReplace(std::vector<Piece>& a, Piece& r) {
    r.truth = AnyTrue(a);
    const std::wstring& text = a[0].text;
    const std::wstring& from = a[1].text;
    if (from.empty()) {
        r.text = text;
        return true;
    }
    size_t at = 0;
    for (size_t hit; (hit = text.find(from, at)) != std::wstring::npos; at = hit + from.size()) {
        AppendCapped(r.text, std::wstring_view(text).substr(at, hit - at));
        AppendCapped(r.text, a[2].text);
    }
    AppendCapped(r.text, std::wstring_view(text).substr(at));
    return true;
}

bool FnTrim(std::vector<Piece>& a, Piece& r) {
    r = std::move(a[0]);
    auto notSpace = [](wchar_t c) { return !IsSpace(c); };
    r.text.erase(std::find_if(r.text.rbegin(), r.text.rend(), notSpace).base(), r.text.end());
    r.text.erase(r.text.begin(), std::find_if(r.text.begin(), r.text.end(), notSpace));
    return true;
}

constexpr FunctionEntry kFunctions[] = {
    {L"if", 2, 3, FnIf},
    {L"if2", 2, 2, FnIf2},
    {L"if3", 2, kAnyCount, FnIf3},
    {L"pathsafe", 1, 1, FnPathSafe},
    {L"filepart", 1, 1, FnFilePart},
    {L"len", 1, 1, FnLen},
    {L"left", 2, 2, FnLeft},
    {L"right", 2, 2, FnRight},
    {L"upper", 1, 1, FnUpper},
    {L"lower", 1, 1, FnLower},
    {L"num", 2, 2, FnNum},
    {L"pad", 2, 3, FnPad},
    {L"replace", 3, 3, FnReplace},
    {L"trim", 1, 1, FnTrim},
};

bool IsNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_';
}

class Interpreter {
  public:
    Interpreter(std::wstring_view format, const TitleFieldSource& fields, TitleMode mode)
        : format_(format), fields_(fields), mode_(mode) {}

    std::wstring Run() {
        Piece out;
        Sequence(L"", 0, out);
        return std::move(out.text);
    }

  private:
    enum class Stop { End, Terminator, Unclosed };

    // Formats up to one of `terminators` (left unconsumed) or the end. A
    // construct that is never closed makes the rest of the template, from the
    // outermost open construct on, literal text.
    Stop Sequence(std::wstring_view terminators, int depth, Piece& out) {
        while (pos_ < format_.size()) {
            wchar_t c = format_[pos_];
            if (terminators.find(c) != std::wstring_view::npos) {
                return Stop::Terminator;
            }
            size_t start = pos_;
            bool closed = true;
            switch (c) {
                case L'%':
                    closed = FieldRef(out);
                    break;
                case L'[':
                    closed = Section(depth, out);
                    break;
                case L'\'':
                    closed = Quoted(out);
                    break;
                case L'$':
                    closed = Call(depth, out);
                    break;
                default:
                    AppendCapped(out.text, c);
                    ++pos_;
                    break;
            }
            if (!closed) {
                if (depth > 0) {
                    return Stop::Unclosed;
                }
                AppendCapped(out.text, format_.substr(start));
                pos_ = format_.size();
            }
        }
        return depth > 0 ? Stop::Unclosed : Stop::End;
    }

    bool FieldRef(Piece& out) {
        size_t close = format_.find(L'%', pos_ + 1);
        if (close == std::wstring_view::npos) {
            return false;
        }
        std::wstring_view name = format_.substr(pos_ + 1, close - pos_ - 1);
        pos_ = close + 1;
        if (name.empty()) {
            AppendCapped(out.text, L'%');  // "%%" is a percent sign
            return true;
        }
        std::wstring value;
        if (fields_.Field(Lowered(name), value) && !value.empty()) {
            AppendCapped(out.text, mode_ == TitleMode::UrlEscaped ? UrlEscape(value) : value);
            out.truth = true;
        }
        return true;
    }

    bool Section(int depth, Piece& out) {
        if (depth >= kTitleMaxDepth) {
            return false;
        }
        ++pos_;
        Piece inner;
        if (Sequence(L"]", depth + 1, inner) != Stop::Terminator) {
            return false;
        }
        ++pos_;
        if (inner.truth) {
            AppendCapped(out.text, inner.text);
            out.truth = true;
        }
        return true;
    }

    bool Quoted(Piece& out) {
        size_t close = format_.find(L'\'', pos_ + 1);
        if (close == std::wstring_view::npos) {
            return false;
        }
        if (close == pos_ + 1) {
            AppendCapped(out.text, L'\'');
        } else {
            AppendCapped(out.text, format_.substr(pos_ + 1, close - pos_ - 1));
        }
        pos_ = close + 1;
        return true;
    }

    bool Call(int depth, Piece& out) {
        size_t nameEnd = pos_ + 1;
        while (nameEnd < format_.size() && IsNameChar(format_[nameEnd])) {
            ++nameEnd;
        }
        if (nameEnd == pos_ + 1 || nameEnd >= format_.size() || format_[nameEnd] != L'(') {
            AppendCapped(out.text, L'$');  // not a call: a plain dollar sign
            ++pos_;
            return true;
        }
        if (depth >= kTitleMaxDepth) {
            return false;
        }
        std::wstring name = Lowered(format_.substr(pos_ + 1, nameEnd - pos_ - 1));
        pos_ = nameEnd + 1;

        std::vector<Piece> args;
        if (pos_ < format_.size() && format_[pos_] == L')') {
            ++pos_;  // "$f()" has no arguments
        } else {
            for (;;) {
                Piece arg;
                if (Sequence(L",)", depth + 1, arg) != Stop::Terminator) {
                    return false;
                }
                args.push_back(std::move(arg));
                if (format_[pos_++] == L')') {
                    break;
                }
            }
        }

        for (const FunctionEntry& f : kFunctions) {
            if (f.name != name) {
                continue;
            }
            Piece result;
            if (args.size() >= f.minArgs && args.size() <= f.maxArgs && f.run(args, result)) {
                AppendCapped(out.text, result.text);
                out.truth = out.truth || result.truth;
            }
            break;
        }
        return true;
    }

    std::wstring_view format_;
    const TitleFieldSource& fields_;
    TitleMode mode_;
    size_t pos_ = 0;
};

}  // namespace

std::wstring FormatTitle(std::wstring_view format, const TitleFieldSource& fields, TitleMode mode) {
    std::wstring out = Interpreter(format, fields, mode).Run();
    if (mode == TitleMode::FileName) {
        std::erase_if(out, [](wchar_t c) { return c < 0x20; });
    }
    return out;
}

std::wstring UrlEscape(std::wstring_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string utf8 = WideToUtf8(text);
    std::wstring out;
    out.reserve(utf8.size());
    for (unsigned char b : utf8) {
        bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                          (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
        if (unreserved) {
            out.push_back(static_cast<wchar_t>(b));
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(kHex[b >> 4]));
            out.push_back(static_cast<wchar_t>(kHex[b & 0xF]));
        }
    }
    return out;
}

}  // namespace kiln::host
