#include "host/gzip_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/text_services.h"

namespace kiln::host {
namespace {

std::vector<uint8_t> Utf16Bytes(const std::u16string& units, bool bigEndian) {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : units) {
        const auto high = static_cast<uint8_t>(unit >> 8);
        const auto low = static_cast<uint8_t>(unit & 0xFF);
        bytes.push_back(bigEndian ? high : low);
        bytes.push_back(bigEndian ? low : high);
    }
    return bytes;
}

TEST(GzipText, RoundTripsTexts) {
    for (const std::wstring& text :
         {std::wstring(), std::wstring(L"About Kiln Log"),
          std::wstring(L"Line one\r\nLine two \u266B \u00E9 \U0001F600 end"),
          std::wstring(20000, L'x') + L"\u65E5"}) {
        const auto gz = EncodeUtf16Gzip(text);
        ASSERT_GE(gz.size(), 18u);
        EXPECT_EQ(gz[0], 0x1F);
        EXPECT_EQ(gz[1], 0x8B);
        EXPECT_EQ(DecompressUtf16Text(gz), text);
    }
}

// Made with: printf '\xff\xfe'; iconv -t UTF-16LE; gzip -9n. Proves we read
// what the resource build produces with the standard tools.
TEST(GzipText, ReadsWhatGzipAndIconvMake) {
    const std::vector<uint8_t> gz = {
        0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xfb, 0xff, 0xcf, 0x9b, 0x21,
        0x93, 0x21, 0x87, 0x21, 0x8f, 0x41, 0x81, 0x21, 0x5b, 0x4d, 0x81, 0xc1, 0xf6, 0x06, 0xc3,
        0x3d, 0x5e, 0x06, 0x2e, 0xa0, 0x48, 0x26, 0x50, 0x2c, 0x15, 0x28, 0x5a, 0xc2, 0x50, 0xce,
        0x90, 0xcf, 0x00, 0x00, 0x1b, 0x26, 0xcc, 0x21, 0x28, 0x00, 0x00, 0x00};
    EXPECT_EQ(DecompressUtf16Text(gz), L"Kiln \u266B \U0001F600\r\nline two");
}

TEST(GzipText, ByteOrderMarks) {
    const std::u16string body = u"Pr\u00E9sence \u266B \U0001F600";
    const std::wstring expected = L"Pr\u00E9sence \u266B \U0001F600";
    const struct {
        const char* name;
        std::u16string units;
        bool bigEndian;
        std::wstring expected;
    } cases[] = {
        {"little-endian mark", u"\uFEFF" + body, false, expected},
        {"big-endian mark", u"\uFEFF" + body, true, expected},
        {"no mark", body, false, expected},
        {"mark only", u"\uFEFF", false, L""},
        {"lone surrogates",
         u"a\xD800"
         u"b\xDC00",
         false, L"a\uFFFDb\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecompressUtf16Text(GzipCompress(Utf16Bytes(c.units, c.bigEndian))), c.expected)
            << c.name;
    }
}

TEST(GzipText, RefusesDamagedInput) {
    const auto good = EncodeUtf16Gzip(L"The About text of the plug-in, long enough to matter.");
    ASSERT_TRUE(DecompressUtf16Text(good));

    EXPECT_FALSE(DecompressUtf16Text({})) << "empty";
    const std::vector<uint8_t> notGzip = {'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(DecompressUtf16Text(notGzip)) << "not gzip";
    for (size_t length = 1; length < good.size(); ++length) {
        EXPECT_FALSE(DecompressUtf16Text(std::span(good).first(length))) << "cut at " << length;
    }
    for (const size_t at : {size_t{12}, good.size() / 2, good.size() - 6, good.size() - 2}) {
        auto damaged = good;
        damaged[at] ^= 0x5A;
        EXPECT_FALSE(DecompressUtf16Text(damaged)) << "byte " << at << " flipped";
    }
    const std::vector<uint8_t> odd = {0xFF, 0xFE, 'a', 0, 'b'};
    EXPECT_FALSE(DecompressUtf16Text(GzipCompress(odd))) << "odd byte count";
}

TEST(GzipText, BoundsTheInflatedSize) {
    const std::vector<uint8_t> zeros(2 * kMaxInflatedTextBytes, 0);
    const auto bomb = GzipCompress(zeros);
    ASSERT_LT(bomb.size(), 8192u);
    EXPECT_FALSE(DecompressUtf16Text(bomb));

    const std::vector<uint8_t> fits(kMaxInflatedTextBytes, 0);
    const auto text = DecompressUtf16Text(GzipCompress(fits));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), kMaxInflatedTextBytes / 2);
    EXPECT_FALSE(DecompressUtf16Text(GzipCompress(fits), 1000)) << "a smaller limit given";
}

}  // namespace
}  // namespace kiln::host
