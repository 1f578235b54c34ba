#include "host/text_services.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/paths.h"
#include "temp_folder.h"

namespace kiln::host {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

TEST(Utf8, EncodesEveryLength) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"plain", "plain"},
        {L"caf\u00E9", "caf\xC3\xA9"},
        {L"\u266B", "\xE2\x99\xAB"},
        {L"\U0001F600", "\xF0\x9F\x98\x80"},
        {L"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF",
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& c : cases) {
        bool ok = false;
        EXPECT_EQ(WideToUtf8(c.wide, &ok), c.utf8);
        EXPECT_TRUE(ok);
        EXPECT_EQ(Utf8ToWide(c.utf8, &ok), c.wide);
        EXPECT_TRUE(ok);
    }
}

TEST(Utf8, InvalidInputBecomesOneReplacementPerMaximalSubpart) {
    const std::wstring r = L"\uFFFD";
    const struct {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        // The example of the Unicode standard (3.9, "U+FFFD substitution of maximal subparts").
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         L"a" + r + r + r + L"b" + r + L"c" + r + r + L"d"},
        {"\xC0\xAF", r + r},                  // overlong
        {"\xE0\x80\xAF", r + r + r},          // overlong
        {"\xED\xA0\x80", r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xF5\xFF", r + r},
        {"ab\xE2\x99", L"ab" + r},  // cut at the end
        {"\xE2\x99"
         "ab",
         r + L"ab"},
        {"\xF0\x9F\x98", r},
    };
    for (const auto& c : cases) {
        bool ok = true;
        EXPECT_EQ(Utf8ToWide(c.utf8, &ok), c.wide);
        EXPECT_FALSE(ok);
    }
}

TEST(Utf8, UnencodableWideTextIsReplaced) {
    if constexpr (sizeof(wchar_t) == 4) {
        for (const std::wstring& wide : {std::wstring{static_cast<wchar_t>(0xD800)},
                                         std::wstring{static_cast<wchar_t>(0xDFFF)},
                                         std::wstring{static_cast<wchar_t>(0x110000)}}) {
            bool ok = true;
            EXPECT_EQ(WideToUtf8(wide, &ok), "\xEF\xBF\xBD");
            EXPECT_FALSE(ok);
        }
    }
}

TEST(WideToUtf8Buffer, NeverSplitsACharacter) {
    const std::wstring text = L"a\u00E9\u266B\U0001F600z";  // 1 + 2 + 3 + 4 + 1 bytes
    const std::string whole = WideToUtf8(text);
    for (int limit = 0; limit <= 13; ++limit) {
        char out[32];
        std::memset(out, '#', sizeof(out));
        const int written = WideToUtf8Buffer(text, out, limit);
        ASSERT_LE(written, limit);
        ASSERT_EQ(out[written], '\0');
        EXPECT_EQ(out[limit + 1], '#') << "wrote past limit + 1 at " << limit;
        const std::string got(out, static_cast<size_t>(written));
        EXPECT_EQ(whole.compare(0, got.size(), got), 0) << limit;
        bool ok = false;
        Utf8ToWide(got, &ok);
        EXPECT_TRUE(ok) << "split character at limit " << limit;
        // Nothing more would have fitted.
        if (got.size() < whole.size()) {
            const size_t next =
                WideToUtf8(Utf8ToWide(whole.substr(got.size())).substr(0, 1)).size();
            EXPECT_GT(got.size() + next, static_cast<size_t>(limit)) << limit;
        }
    }
    char out[8];
    EXPECT_EQ(WideToUtf8Buffer(std::wstring_view(L"ab\0cd", 5), out, 7), 2);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(WideToUtf8Buffer(L"x", nullptr, 5), 0);
}

TEST(CopyToBuffer, CutsAtCharacterBoundaries) {
    const std::string utf8 =
        "a\xE2\x99\xAB"
        "b";
    const struct {
        int size;
        std::string expected;
    } cases[] = {{1, ""}, {2, "a"}, {3, "a"}, {4, "a"}, {5, "a\xE2\x99\xAB"}, {6, utf8}, {9, utf8}};
    for (const auto& c : cases) {
        char out[16];
        EXPECT_EQ(CopyToBuffer(utf8, out, c.size), static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::string(out), c.expected) << c.size;
    }
    wchar_t wide[4];
    EXPECT_EQ(CopyToBuffer(std::wstring_view(L"wxyz"), wide, 4), 3);
    EXPECT_STREQ(wide, L"wxy");
    EXPECT_EQ(CopyToBuffer(std::wstring_view(L"w"), wide, 0), 0);
}

TEST(Md5Hex, KnownVectors) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("The quick brown fox jumps over the lazy dog"),
              "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(Md5Hex("The quick brown fox jumps over the lazy dog."),
              "e4d909c290d0fb1ca068ffaddf22cbd0");
}

TEST(Sha256FileHex, DigestsContentAndRefusesWhatIsNoFile) {
    const TempFolder folder;
    WriteFile(folder / "abc", "abc");
    WriteFile(folder / "empty", "");
    WriteFile(folder / "million", std::string(1000000, 'a'));  // spans many read chunks
    EXPECT_EQ(Sha256FileHex(folder / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256FileHex(folder / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256FileHex(folder / "million"),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Sha256FileHex(folder / "missing"), "");
    EXPECT_EQ(Sha256FileHex(folder.Path()), "");
}

TEST(RandomIdentifier, LettersAndDigitsOfTheAskedLength) {
    for (const int length : {-3, 0, 1, 15, 64}) {
        EXPECT_EQ(RandomIdentifier(length).size(), static_cast<size_t>(std::max(length, 0)));
    }
    std::set<wchar_t> seen;
    std::set<std::wstring> ids;
    for (int i = 0; i < 2000; ++i) {
        const std::wstring id = RandomIdentifier(15);
        ids.insert(id);
        for (const wchar_t c : id) {
            ASSERT_TRUE((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                        (c >= L'0' && c <= L'9'))
                << static_cast<int>(c);
            seen.insert(c);
        }
    }
    EXPECT_EQ(seen.size(), 62u) << "every letter and digit can appear";
    EXPECT_EQ(ids.size(), 2000u) << "identifiers repeat";
}

TEST(PrefixEqual, Table) {
    const struct {
        const char* text;
        const char* prefix;
        int count;
        bool expected;
    } cases[] = {
        {"HTTPS://host", "https://", 8, true},
        {"http://host", "https://", 8, false},
        {"abc", "ABD", 2, true},
        {"abc", "ABD", 3, false},
        {"ab", "abc", 3, false},
        {"ab", "AB", 10, true},
        {"x", "y", 0, true},
        {"", "", 4, true},
        {"\xC3\xA9", "\xC3\x89", 2, false},  // only ASCII folds
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrefixEqual(c.text, c.prefix, c.count), c.expected)
            << c.text << " / " << c.prefix << " / " << c.count;
    }
    EXPECT_TRUE(PrefixEqual(L"Zip://a", L"zIP://", 6));
}

TEST(Numbers, TextAndBack) {
    EXPECT_EQ(Int64ToText(INT64_MIN), "-9223372036854775808");
    char out[16];
    EXPECT_EQ(Int64ToTextBuffer(1727395200, out, 16), 10);
    EXPECT_STREQ(out, "1727395200");
    EXPECT_EQ(Int64ToTextBuffer(1727395200, out, 10), 0) << "a number is never cut";
    EXPECT_STREQ(out, "");

    const struct {
        const wchar_t* text;
        std::optional<int64_t> strict;
        int lenient;
    } cases[] = {
        {L"42", 42, 42},
        {L" -17\t", -17, -17},
        {L"+3", 3, 3},
        {L"12abc", std::nullopt, 12},
        {L"abc", std::nullopt, 0},
        {L"", std::nullopt, 0},
        {L"-", std::nullopt, 0},
        {L"9223372036854775807", INT64_MAX, INT_MAX},
        {L"-9223372036854775808", INT64_MIN, INT_MIN},
        {L"9223372036854775808", std::nullopt, INT_MAX},
        {L"-99999999999999999999", std::nullopt, INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseInteger(c.text), c.strict) << WideToUtf8(c.text);
        EXPECT_EQ(TextToInt(c.text), c.lenient) << WideToUtf8(c.text);
    }
}

template <typename T>
int Call(TextObjects& objects, int code, void** result, T argument) {
    void* args[] = {&argument};
    return objects.Dispatch(code, result, args, 1);
}

TEST(TextObjects, DispatchCodesAndLeakCounting) {
    TextObjects objects;

    void* buffer = reinterpret_cast<void*>(1);
    ASSERT_GT(Call(objects, TextObjects::kAllocate, &buffer, size_t{43}), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::memcmp(buffer, std::string(43, '\0').data(), 43), 0) << "buffer not zeroed";

    void* copy = nullptr;
    const char* utf8 = "caf\xC3\xA9";
    ASSERT_GT(Call(objects, TextObjects::kCopyUtf8, &copy, utf8), 0);
    EXPECT_STREQ(static_cast<char*>(copy), utf8);
    EXPECT_NE(copy, static_cast<const void*>(utf8));
    EXPECT_EQ(objects.LiveCount(), 2u);

    // Replacing a status text again and again holds one copy at a time.
    void* status = nullptr;
    for (const wchar_t* text : {L"Scrobbled", L"Failed: 11", L"\u266B"}) {
        void* args[] = {&text, &status};
        void* result = nullptr;
        ASSERT_GT(objects.Dispatch(TextObjects::kReplaceWide, &result, args, 2), 0);
        EXPECT_STREQ(static_cast<wchar_t*>(result), text);
        status = result;
        EXPECT_EQ(objects.LiveCount(), 3u);
    }
    // The text may be the previous copy itself.
    {
        const wchar_t* same = static_cast<const wchar_t*>(status);
        void* args[] = {&same, &status};
        void* result = nullptr;
        ASSERT_GT(objects.Dispatch(TextObjects::kReplaceWide, &result, args, 2), 0);
        EXPECT_STREQ(static_cast<wchar_t*>(result), L"\u266B");
        status = result;
    }
    // A null text releases the previous copy and fills nothing.
    {
        const wchar_t* none = nullptr;
        void* args[] = {&none, &status};
        void* result = nullptr;
        EXPECT_EQ(objects.Dispatch(TextObjects::kReplaceWide, &result, args, 2), 0);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(objects.LiveCount(), 2u);

    Call(objects, TextObjects::kRelease, nullptr, buffer);
    Call(objects, TextObjects::kRelease, nullptr, copy);
    Call(objects, TextObjects::kRelease, nullptr, static_cast<void*>(nullptr));
    EXPECT_EQ(objects.LiveCount(), 0u);

    // Blocks of someone else are not freed (the sanitizer would object), and
    // a second release of the same block does nothing.
    int foreign = 0;
    EXPECT_FALSE(objects.Release(&foreign));
    EXPECT_FALSE(objects.Release(buffer));

    void* untouched = nullptr;
    EXPECT_EQ(objects.Dispatch(99, &untouched, nullptr, 0), 0);
    EXPECT_EQ(objects.Dispatch(TextObjects::kCopyUtf8, &untouched, nullptr, 0), 0);
    EXPECT_EQ(Call(objects, TextObjects::kCopyUtf8, &untouched, static_cast<const char*>(nullptr)),
              0);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(objects.LiveCount(), 0u);
}

TEST(TextObjects, ConcurrentUseBalances) {
    TextObjects objects;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&objects] {
            void* held = nullptr;
            for (int i = 0; i < 500; ++i) {
                held = objects.ReplaceWide(L"status", held);
                objects.Release(objects.CopyUtf8("x"));
            }
            objects.Release(held);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(objects.LiveCount(), 0u);
}

TEST(TextFile, AppendsThroughOneSlotAndCreatesEmptyFiles) {
    const TempFolder folder;
    const std::wstring path = JoinPath(FromFsPath(folder.Path()), L"scrobble.cache");
    void* slot = nullptr;
    ASSERT_TRUE(AppendTextFile(&slot, path, nullptr, 0));
    EXPECT_NE(slot, nullptr);
    CloseTextFile(&slot);
    EXPECT_EQ(slot, nullptr);
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ReadFile(ToFsPath(path)), "");

    const std::string line = "1700000000,D:\\Music\\a,b.mp3\r\n";
    ASSERT_TRUE(AppendTextFile(&slot, path, line.c_str(), static_cast<int>(line.size())));
    ASSERT_TRUE(AppendTextFile(&slot, path, "12,x\r\n", -1));
    EXPECT_EQ(ReadFile(ToFsPath(path)), line + "12,x\r\n") << "data must be on disk before close";
    CloseTextFile(&slot);
    ASSERT_TRUE(AppendTextFile(&slot, path, "tail", 2));
    CloseTextFile(&slot);
    CloseTextFile(&slot);
    EXPECT_EQ(ReadFile(ToFsPath(path)), line + "12,x\r\nta");

    EXPECT_FALSE(AppendTextFile(&slot, JoinPath(path, L"below/a/file"), "x", 1));
    EXPECT_EQ(slot, nullptr);
}

TEST(ByteReading, ReadsLinesLikeFgets) {
    const TempFolder folder;
    WriteFile(folder / "lines", "first\r\n\r\nlong line here\nlast");
    std::FILE* file = OpenForReading(FromFsPath(folder / "lines"));
    ASSERT_NE(file, nullptr);
    std::vector<std::string> lines;
    char buffer[8];
    while (!AtEnd(file)) {
        ASSERT_TRUE(ReadLine(file, buffer, sizeof(buffer)));
        lines.emplace_back(buffer);
    }
    EXPECT_FALSE(ReadLine(file, buffer, sizeof(buffer)));
    CloseFile(file);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"first\r\n", "\r\n", "long li", "ne here", "\n", "last"}));

    WriteFile(folder / "empty", "");
    file = OpenForReading(FromFsPath(folder / "empty"));
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(AtEnd(file));
    EXPECT_FALSE(ReadLine(file, buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "");
    CloseFile(file);

    EXPECT_EQ(OpenForReading(FromFsPath(folder / "missing")), nullptr);
    EXPECT_TRUE(AtEnd(nullptr));
    EXPECT_FALSE(ReadLine(nullptr, buffer, sizeof(buffer)));
    CloseFile(nullptr);
}

}  // namespace
}  // namespace kiln::host
