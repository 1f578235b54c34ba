// Composition on the modules themselves: the presence text as formatted for
// the item now playing, and how a text becomes the record's fields.
#include <gtest/gtest.h>

#include <string>

#include "host/paths.h"
#include "host/sample_media.h"
#include "module_host.h"
#include "plugin/settings.h"
#include "plugin/wide_format.h"
#include "plugin/worker.h"
#include "presence/presence.h"
#include "presence/utf8_cut.h"

namespace kiln::test {
namespace {

constexpr int64_t kNow = 1700000000;

std::string Repeat(const std::string& piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

std::wstring RepeatWide(const std::wstring& piece, size_t count) {
    std::wstring out;
    for (size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// Whole characters only: every lead byte followed by its continuation bytes.
bool ValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t extra = c < 0x80             ? 0
                             : (c & 0xE0) == 0xC0 ? 1
                             : (c & 0xF0) == 0xE0 ? 2
                             : (c & 0xF8) == 0xF0 ? 3
                                                  : 9;
        if (extra == 9 || i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

class PresenceCompose : public ::testing::Test {
  protected:
    void SetUp() override {
        PresenceModuleHost::Get();
        host().SetNow(kNow);
        host().SetPlayback({1, 50000, L"", 200});
        discordPrefix.store(0);
    }
    void TearDown() override {
        discordPrefix.store(0);
        host().UseSystemClock();
    }
    host::SubstituteHost& host() { return PresenceModuleHost::Get().host(); }
};

TEST_F(PresenceCompose, TextBecomesFields) {
    const std::string four = "a\r\nb\r\nc\r\nd";
    const std::string longLegacy = "first\r\n" + Repeat("z", 200);
    struct Case {
        const char* name;
        int mode;
        int state;
        std::string text;
        std::string details, state_, largeText;
    };
    const Case cases[] = {
        {"one line playing", 0, 1, "Kiln - Glaze", "Kiln - Glaze", "", ""},
        {"one line paused", 0, 2, "Kiln - Glaze", "Kiln - Glaze", "Paused", ""},
        {"one line stopped", 0, 0, "Kiln - Glaze", "Kiln - Glaze", "Stopped", ""},
        {"one byte playing", 0, 1, "x", "x ", "", ""},
        {"one byte paused", 0, 2, "x", "x", "Paused", ""},
        {"one two-byte character playing", 0, 1, "\xC3\xA9", "\xC3\xA9", "", ""},
        {"empty first line playing", 0, 1, "\r\nsecond", "second", "", ""},
        {"empty first line paused", 0, 2, "\r\nsecond", "", "second", ""},
        {"empty playing", 0, 1, "", "  ", "", ""},
        {"empty stopped", 0, 0, "", "", "Stopped", ""},
        {"empty stopped legacy", 2, 0, "", " ", "Stopped", " "},
        {"empty playing legacy", 2, 1, "", "  ", "", " "},
        {"two lines playing", 0, 1, "a\r\nb", "a ", "b", ""},
        {"three lines", 0, 2, "a\r\nb\r\nc", "a", "b", "c"},
        {"four lines", 0, 2, four, "a", "b\r\nc", "d"},
        {"four lines mode 1", 1, 2, four, "a", "b\r\nc", "d"},
        {"four lines legacy", 2, 2, four, "a", "b\r\nc\r\nd", four},
        {"legacy large text cut", 2, 2, longLegacy, "first", Repeat("z", 127),
         longLegacy.substr(0, 127)},
        {"lone CR last", 0, 1, "ab\r", "ab", "", ""},
        {"lone CR last of second line", 0, 2, "ab\r\nc\r", "ab", "c", ""},
        {"lone LF before a two-byte character", 0, 1, "ab\n\xC3\xA9t", "ab", "t", ""},
        {"empty middle line", 0, 0, "a\r\n\r\nc", "a", "Stopped", "c"},
        {"unknown state as playing", 0, 7, "x", "x", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        discordPrefix.store(c.mode);
        ComposePresence(c.text, c.state);
        EXPECT_EQ(std::string(presenceRecord.details), c.details);
        EXPECT_EQ(std::string(presenceRecord.state), c.state_);
        EXPECT_EQ(std::string(presenceRecord.largeText), c.largeText);
        const char* image = c.state == 0 ? "stop" : c.state == 2 ? "pause" : "play";
        const char* text = c.state == 0 ? "Stopped" : c.state == 2 ? "Paused" : "Playing";
        EXPECT_EQ(std::string(presenceRecord.smallImage), image);
        EXPECT_EQ(std::string(presenceRecord.smallText), text);
    }
}

TEST_F(PresenceCompose, TimesOnlyWhilePlayingWithAKnownLength) {
    struct Case {
        int state;
        int lengthSeconds;
        int positionMs;
        int64_t start, end;
    };
    const Case cases[] = {
        {1, 200, 50000, kNow, kNow + 150},
        {1, 200, 50999, kNow, kNow + 150},
        {1, 200, 0, kNow, kNow + 200},
        {1, 200, -40, kNow, kNow + 200},
        {1, 0, 50000, 0, 0},  // a stream without length
        {2, 200, 50000, 0, 0},
        {0, 200, 50000, 0, 0},
        {7, 200, 50000, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + " " + std::to_string(c.lengthSeconds) + " " +
                     std::to_string(c.positionMs));
        presenceRecord.startTime = 123;
        presenceRecord.endTime = 456;
        host().SetPlayback({1, c.positionMs, L"", c.lengthSeconds});
        ComposePresence("x", c.state);
        EXPECT_EQ(presenceRecord.startTime, c.start);
        EXPECT_EQ(presenceRecord.endTime, c.end);
    }
}

// Field copies keep whole characters only.
TEST_F(PresenceCompose, FieldCutsKeepWholeCharacters) {
    struct Case {
        std::string piece;
        size_t kept;  // bytes of `details` (127 at most)
    };
    const Case cases[] = {
        {"x", 127}, {"\xC3\xA9", 126}, {"\xE2\x82\xAC", 126}, {"\xF0\x9F\x94\xA5", 124}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kept);
        ComposePresence(Repeat(c.piece, 200) + "\r\n" + Repeat(c.piece, 200), 1);
        EXPECT_EQ(std::string(presenceRecord.details), Repeat(c.piece, c.kept / c.piece.size()));
        EXPECT_EQ(std::string(presenceRecord.state), Repeat(c.piece, c.kept / c.piece.size()));
    }
}

TEST(Utf8Cut, BacksOffToACharacterBoundary) {
    struct Case {
        std::string text;
        size_t limit;
        size_t length;
    };
    const Case cases[] = {
        {"abc", 5, 3},
        {"abc", 3, 3},
        {"abc", 2, 2},
        {"a\xC3\xA9", 2, 1},
        {"a\xC3\xA9", 3, 3},
        {"\xE2\x82\xAC\xE2\x82\xAC", 4, 3},
        {"\xF0\x9F\x94\xA5", 3, 0},
        {"", 0, 0},
        {"ab", 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8CutLength(c.text, c.limit), c.length) << c.text << " " << c.limit;
    }
    char small[4];
    CopyUtf8Field(small, "\xE2\x82\xAC!");  // 4 bytes into 3 + terminator
    EXPECT_EQ(std::string(small), "\xE2\x82\xAC");
    CopyUtf8Field(small, "a\xE2\x82\xAC");
    EXPECT_EQ(std::string(small), "a");
}

class PresenceFormat : public PresenceCompose {
  protected:
    void SetUp() override {
        PresenceCompose::SetUp();
        host::SampleSpec recipe;
        recipe.fileName = "format.wav";
        recipe.title = L"Gr\u00e8s";
        recipe.artist = L"Ash";
        recipe.seconds = 10;
        track_ = host::WriteSampleTrack(PresenceModuleHost::Get().MediaFolder(), recipe);
        ASSERT_FALSE(track_.empty());
        host().SetPlayback({1, 0, host::FromFsPath(track_), -1});
    }
    void TearDown() override {
        CopyWide(presenceTemplate, kLineChars, kDefaultPresenceTemplate);
        PresenceCompose::TearDown();
    }
    std::filesystem::path track_;
};

TEST_F(PresenceFormat, FormatsForTheItemAndCutsBytes) {
    const std::wstring x300 = RepeatWide(L"x", 300);
    const std::wstring withBreak = RepeatWide(L"x", 150) + L"\r\n" + RepeatWide(L"y", 150);
    const std::wstring euros = RepeatWide(L"\u20ac", 100);
    struct Case {
        const char* name;
        std::wstring templateText;
        std::string expected;
    };
    const Case cases[] = {
        {"lines survive formatting", L"%title%\r\n%artist%", "Gr\xC3\xA8s\r\nAsh"},
        {"default template", kDefaultPresenceTemplate,
         "\xE2\x99\xAB Ash - Gr\xC3\xA8s \xE2\x99\xAB"},
        {"empty", L"", ""},
        {"one line of 300 bytes", x300, Repeat("x", 128)},
        {"300 bytes with a break", withBreak, Repeat("x", 150) + "\r\n" + Repeat("y", 104)},
        {"one line of three-byte characters", euros, Repeat("\xE2\x82\xAC", 42)},
        {"three-byte characters with a break", euros + L"\r\n", Repeat("\xE2\x82\xAC", 85)},
        {"cut between CR and LF", RepeatWide(L"x", 255) + L"\r\nyy", Repeat("x", 255) + "\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CopyWide(presenceTemplate, kLineChars, c.templateText.c_str());
        std::string text = FormatPresenceText(nullptr);
        EXPECT_EQ(text, c.expected);
        EXPECT_TRUE(ValidUtf8(text));
    }
    // The host filled the location while formatting.
    EXPECT_EQ(std::wstring(currentLocation), host::FromFsPath(track_));
}

TEST_F(PresenceFormat, CutTextSplitsWithoutFailing) {
    CopyWide(presenceTemplate, kLineChars, (RepeatWide(L"x", 255) + L"\r\nyy").c_str());
    ComposePresence(FormatPresenceText(nullptr), 1);
    EXPECT_EQ(std::string(presenceRecord.details), Repeat("x", 127));
    EXPECT_EQ(std::string(presenceRecord.state), "");
    EXPECT_EQ(std::string(presenceRecord.largeText), "");
}

}  // namespace
}  // namespace kiln::test
