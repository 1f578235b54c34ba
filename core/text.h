// Text conversions shared by every layer: UTF-8 and wide text (UTF-16 on
// Windows, UTF-32 on Linux), one encoder of UTF-16 surrogate pairs, percent
// decoding, and bounded, always terminated copies into fixed buffers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiln::text {

// Characters that cannot be encoded (lone surrogates, values above U+10FFFF)
// become U+FFFD; *ok, when given, tells whether everything converted.
std::string WideToUtf8(std::wstring_view text, bool* ok = nullptr);
// Invalid UTF-8 becomes one U+FFFD per maximal subpart (the Unicode
// recommendation, also what browsers do); *ok tells whether all was valid.
std::wstring Utf8ToWide(std::string_view text, bool* ok = nullptr);
// UTF-8 of `text` into `out`: at most `limit` bytes and a terminator, so `out`
// holds limit + 1 bytes. A character that does not fit whole is left out with
// everything after it; conversion also stops at an embedded NUL. Returns the
// bytes written, terminator not counted.
int WideToUtf8Buffer(std::wstring_view text, char* out, int limit);

// The UTF-16 units of a code point: one, or a surrogate pair for U+10000 and
// above. Returns the units written into `units`.
int EncodeUtf16(char32_t c, char16_t units[2]);
// Appends a code point to wide text: as a surrogate pair where wchar_t is
// UTF-16, as one unit where it is UTF-32.
void AppendCodePoint(std::wstring& out, char32_t c);

// "%41" -> "A"; a '%' not followed by two hexadecimal digits stays as it is.
std::string PercentDecode(std::string_view text);

// Bounded, always terminated copies into a buffer of `size` elements; return
// the elements copied. The narrow copy backs off to a UTF-8 character
// boundary, the wide one never separates a surrogate pair.
int CopyToBuffer(std::wstring_view text, wchar_t* out, int size);
int CopyToBuffer(std::string_view text, char* out, int size);

}  // namespace kiln::text
