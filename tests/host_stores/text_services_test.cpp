// Text conversions, numbers, the text-object service and gzip texts.
#include "services/text_services.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "services/gzip_text.h"
#include "services/web_requests.h"

namespace kiln::host {
namespace {

TEST(Utf8, EveryLengthBothWaysAndReplacementOfWhatIsInvalid) {
    const std::wstring r = L"\uFFFD";
    const struct {
        std::wstring wide;
        std::string utf8;
        bool valid;
    } cases[] = {
        {L"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF",
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},
        // One U+FFFD per maximal subpart: the Unicode standard's own example first.
        {L"a" + r + r + r + L"b" + r + L"c" + r + r + L"d",
         "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", false},
        {r + r, "\xC0\xAF", false},                  // overlong
        {r + r + r, "\xE0\x80\xAF", false},          // overlong
        {r + r + r, "\xED\xA0\x80", false},          // surrogate
        {r + r + r + r, "\xF4\x90\x80\x80", false},  // above U+10FFFF
        {L"ab" + r, "ab\xE2\x99", false},            // cut at the end
    };
    for (const auto& c : cases) {
        bool ok = !c.valid;
        EXPECT_EQ(Utf8ToWide(c.utf8, &ok), c.wide);
        EXPECT_EQ(ok, c.valid);
        if (c.valid) {
            EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
        }
    }
    bool ok = true;
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000)), &ok), "\xEF\xBF\xBD");
    EXPECT_FALSE(ok);
}

TEST(BufferCopies, StopAtWholeCharactersAndNeverWritePastTheEnd) {
    const std::wstring text = L"a\u00E9\u266B\U0001F600z";  // 1 + 2 + 3 + 4 + 1 bytes
    const std::string whole = WideToUtf8(text);
    const std::pair<int, size_t> fits[] = {{0, 0}, {2, 1},   {3, 3},  {5, 3},
                                           {9, 6}, {10, 10}, {13, 11}};
    for (const auto& [limit, bytes] : fits) {
        char out[32];
        // Both take `limit` bytes and a terminator.
        for (const bool narrow : {false, true}) {
            std::memset(out, '#', sizeof(out));
            const int written =
                narrow ? CopyToBuffer(whole, out, limit + 1) : WideToUtf8Buffer(text, out, limit);
            EXPECT_EQ(written, static_cast<int>(bytes)) << limit << " narrow " << narrow;
            EXPECT_EQ(std::string(out), whole.substr(0, bytes)) << limit << " narrow " << narrow;
            EXPECT_EQ(out[limit + 1], '#') << "wrote past the end at " << limit;
        }
    }
    EXPECT_EQ(WideToUtf8Buffer(L"x", nullptr, 5), 0);
    wchar_t wide[4];
    EXPECT_EQ(CopyToBuffer(std::wstring_view(L"wxyz"), wide, 4), 3);
    EXPECT_STREQ(wide, L"wxy");
    EXPECT_EQ(CopyToBuffer(std::wstring_view(L"w"), wide, 0), 0);
}

TEST(TextServices, PrefixesNumbersAndIdentifiers) {
    EXPECT_TRUE(PrefixEqual("ZIP://a", "zip://", 6));
    EXPECT_FALSE(PrefixEqual("ab", "abc", 3)) << "a shorter text must end where the other does";
    char out[16];
    EXPECT_EQ(Int64ToTextBuffer(1727395200, out, 10), 0) << "a number is never cut";
    EXPECT_STREQ(out, "");
    EXPECT_EQ(TextToInt(L" -17abc"), -17);
    EXPECT_EQ(TextToInt(L"9223372036854775808"), INT_MAX);
    EXPECT_EQ(TextToInt(L"-99999999999999999999"), INT_MIN);

    // Upload identities: a repeat would mix two listeners' cover art.
    std::set<std::wstring> ids;
    std::set<wchar_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::wstring id = RandomIdentifier(15);
        ids.insert(id);
        seen.insert(id.begin(), id.end());
    }
    EXPECT_EQ(ids.size(), 2000u);
    EXPECT_EQ(ids.begin()->size(), 15u);
    // Every letter and digit, and nothing that would need escaping in a URL.
    EXPECT_EQ(std::wstring(seen.begin(), seen.end()),
              L"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
}

TEST(TextObjects, ReplacingHoldsOneCopyAndOnlyOwnBlocksAreReleased) {
    TextObjects objects;
    auto call = [&objects](int code, auto first, void* second = nullptr) {
        void* args[] = {&first, &second};
        void* result = nullptr;
        return std::pair{objects.Dispatch(code, &result, args, 2), result};
    };
    void* buffer = call(TextObjects::kAllocate, size_t{43}).second;
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::memcmp(buffer, std::string(43, '\0').data(), 43), 0) << "buffer not zeroed";
    // A status text replaced again and again, the last time by its own copy.
    void* status = nullptr;
    for (const wchar_t* text : {L"Scrobbled", L"Failed: 11", L"\u266B", L""}) {
        const wchar_t* next = *text ? text : static_cast<const wchar_t*>(status);
        status = call(TextObjects::kReplaceWide, next, status).second;
        ASSERT_NE(status, nullptr);
        EXPECT_STREQ(static_cast<wchar_t*>(status), *text ? text : L"\u266B");
        EXPECT_EQ(objects.LiveCount(), 2u);
    }
    // A null text releases the previous copy and fills nothing.
    EXPECT_EQ(call(TextObjects::kReplaceWide, static_cast<const wchar_t*>(nullptr), status),
              std::pair(0, static_cast<void*>(nullptr)));
    call(TextObjects::kRelease, buffer);
    EXPECT_EQ(objects.LiveCount(), 0u);
    // Blocks of someone else are left alone (the sanitizer would object to a
    // free), and so is a second release of the same block.
    int foreign = 0;
    EXPECT_FALSE(objects.Release(&foreign));
    EXPECT_FALSE(objects.Release(buffer));
    // Unknown codes, missing arguments and null texts fill nothing.
    EXPECT_EQ(call(99, size_t{1}), std::pair(0, static_cast<void*>(nullptr)));
    EXPECT_EQ(objects.Dispatch(TextObjects::kCopyUtf8, &buffer, nullptr, 0), 0);
    EXPECT_EQ(call(TextObjects::kCopyUtf8, static_cast<const char*>(nullptr)).first, 0);
    EXPECT_EQ(objects.LiveCount(), 0u);
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& units, bool bigEndian) {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : units) {
        bytes.insert(bytes.end(),
                     {uint8_t(unit >> (bigEndian ? 8 : 0)), uint8_t(unit >> (bigEndian ? 0 : 8))});
    }
    return bytes;
}

// The compiler's UTF-16, not our encoder's, so surrogate pairs are checked
// against an outside reference.
TEST(GzipText, ByteOrderMarksAndSurrogates) {
    const std::u16string body = u"Pr\u00E9sence \u266B \U0001F600\r\n";
    const std::wstring expected = L"Pr\u00E9sence \u266B \U0001F600\r\n";
    const struct {
        std::u16string units;
        bool bigEndian;
        std::wstring expected;
    } cases[] = {
        {u"\uFEFF" + body, false, expected},  // little-endian mark
        {u"\uFEFF" + body, true, expected},   // big-endian mark
        {body, false, expected},
        {u"\uFEFF", false, L""},
        {std::u16string(40000, u'x'), false, std::wstring(40000, 'x')},  // many inflated chunks
        {std::u16string{u'a', 0xD800, u'b', 0xDC00}, false, L"a\uFFFDb\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecompressUtf16Text(GzipCompress(Utf16Bytes(c.units, c.bigEndian))), c.expected)
            << &c - cases;
    }
}

// What a player's "offline" still lets through: this machine and private
// networks, named literally, and nothing that only looks like them.
TEST(WebAddresses, LocalAndPrivateHostsOnly) {
    for (const char* local :
         {"http://127.0.0.1:8080/play", "https://LOCALHOST/x", "http://[::1]:9/", "10.1.2.3/a",
          "http://172.16.0.1", "http://172.31.255.255/", "http://192.168.1.20?x=1",
          "http://169.254.0.7", "http://[fd12::1]/", "http://[fe80::1%25eth0]/"}) {
        EXPECT_TRUE(kiln::host::IsLocalAddress(local)) << local;
    }
    for (const char* remote :
         {"https://ws.audioscrobbler.com/2.0/", "http://172.32.0.1/", "http://127.0.0.1.example/",
          "http://127.0.0.1@example.com/", "http://example.com/?to=127.0.0.1",
          "http://[2001:db8::1]/", "http://1270.0.0.1/", "http://192.168.1/"}) {
        EXPECT_FALSE(kiln::host::IsLocalAddress(remote)) << remote;
    }
}

}  // namespace
}  // namespace kiln::host
