// Text, number and small file services of the substitute host.
//
// Wide text is wchar_t: UTF-32 on Linux, UTF-16 where wchar_t has two bytes
// (the code handles both). Narrow text is UTF-8. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/text.h"
#include "core/thread_annotations.h"

namespace kiln::host {

// -- conversions and bounded copies: core/text.h

using text::CopyToBuffer;
using text::Utf8ToWide;
using text::WideToUtf8;
using text::WideToUtf8Buffer;

// -- digests and identifiers

// MD5 (RFC 1321) as 32 lower-case hexadecimal characters.
std::string Md5Hex(std::string_view text);
// SHA-256 of a file's content as 64 lower-case hexadecimal characters; ""
// when the file is missing, not a regular file or cannot be read.
std::string Sha256FileHex(const std::filesystem::path& file);
// maxChars letters and digits, so the result can go into a URL path or query
// without escaping. "" for maxChars <= 0.
std::wstring RandomIdentifier(int maxChars);

// -- comparisons

// Exact, case-sensitive comparison of whole texts.
bool TextEqual(std::wstring_view a, std::wstring_view b);
bool TextEqual(std::string_view a, std::string_view b);
// The first `count` characters of both texts are equal ignoring ASCII letter
// case; a text that ends earlier must end at the same place in the other
// (the strnicmp rule). True for count <= 0.
bool PrefixEqual(std::string_view text, std::string_view prefix, int count);
bool PrefixEqual(std::wstring_view text, std::wstring_view prefix, int count);

// -- numbers

std::string Int64ToText(int64_t value);
// Decimal text into `out` (size bytes, terminator included). A number is
// never cut: when it does not fit, `out` is left empty and 0 is returned.
int Int64ToTextBuffer(int64_t value, char* out, int size);
// Strict: optional surrounding spaces or tabs, an optional sign and at least
// one decimal digit, nothing else; nullopt when malformed or out of range.
std::optional<int64_t> ParseInteger(std::wstring_view text);
// Lenient, like atoi: leading white space, a sign, the digits that follow;
// 0 when there are none; saturates at the int range.
int TextToInt(std::wstring_view text);

// -- the text-object service: buffers and text copies handed to the plug-in

// Dispatch codes and their arguments. `args[i]` points to the i-th argument
// (so for a text argument it is the address of the text pointer); the result
// is stored in *result. Dispatch returns > 0 when *result was filled.
//   0  allocate:  args[0] -> size_t byte count        *result = zeroed buffer
//  10  release:   args[0] -> void* block (null ok)     nothing
//  31  copy:      args[0] -> const char* UTF-8 text    *result = char* copy
//  40  replace:   args[0] -> const wchar_t* text,      *result = wchar_t* copy;
//                 args[1] -> void* previous (optional)  the previous copy is
//                                                       released in every case
class TextObjects {
  public:
    static constexpr int kAllocate = 0;
    static constexpr int kRelease = 10;
    static constexpr int kCopyUtf8 = 31;
    static constexpr int kReplaceWide = 40;

    TextObjects() = default;
    ~TextObjects();  // frees whatever is still live
    TextObjects(const TextObjects&) = delete;
    TextObjects& operator=(const TextObjects&) = delete;

    int Dispatch(int code, void** result, void** args, int argCount);

    // Zeroed block of `bytes` bytes (at least one), or null.
    void* Allocate(size_t bytes);
    char* CopyUtf8(std::string_view text);
    wchar_t* CopyWide(std::wstring_view text);
    // A copy of `text` (null when text is null or memory is short); `previous`
    // is released whatever happens.
    wchar_t* ReplaceWide(const wchar_t* text, void* previous);
    // False for null and for blocks this service did not hand out; those are
    // left alone rather than freed.
    bool Release(void* block);
    bool Owns(const void* block) const;
    size_t LiveCount() const;

  private:
    mutable Mutex mutex_;
    std::unordered_set<void*> live_ GUARDED_BY(mutex_);
};

// -- the text-file service and byte-mode reading

// Opens (creating) `path` for appending on the first call with an empty slot,
// keeps the open file in *slot, and appends `length` bytes of `text` (length
// < 0: up to the terminator). Data is flushed before returning. A null text
// with length 0 only opens/creates the file.
bool AppendTextFile(void** slot, std::wstring_view path, const char* text, int length);
// Closes the file in *slot and clears the slot; an empty slot is harmless.
void CloseTextFile(void** slot);

std::FILE* OpenForReading(std::wstring_view path);  // "rb"; null on failure
// True at the end of the file (also for a null file); false after a failed
// read, as the runtime's end-of-file test is.
bool AtEnd(std::FILE* file);
// Like fgets: up to size - 1 bytes, stopping after a line feed, which is kept
// with any carriage return before it; always terminated. False when nothing
// could be read.
bool ReadLine(std::FILE* file, char* buffer, int size);
void CloseFile(std::FILE* file);

}  // namespace kiln::host
