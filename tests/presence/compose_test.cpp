// Composition on the modules themselves: the presence text formatted for the
// item now playing, and how a text becomes the record's fields.
#include <gtest/gtest.h>

#include <string>

#include "core/wide_format.h"
#include "host/sample_media.h"
#include "plugin/settings.h"
#include "presence/presence.h"
#include "services/paths.h"
#include "support/module_host.h"

namespace kiln::test {
namespace {

constexpr int64_t kNow = 1700000000;

template <typename Text>
Text Repeat(const Text& piece, size_t count) {
    Text out;
    for (size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

class PresenceCompose : public ::testing::Test {
  protected:
    void SetUp() override { host().SetNow(kNow); }
    void TearDown() override {
        discordPrefix.store(0);
        CopyWide(presenceTemplate, kLineChars, kDefaultPresenceTemplate);
        host().UseSystemClock();
    }
    host::SubstituteHost& host() { return ModuleHost::Get().host(); }
};

TEST_F(PresenceCompose, TextBecomesFields) {
    const std::string four = "a\r\nb\r\nc\r\nd";
    const std::string fire = "\xF0\x9F\x94\xA5", fires = Repeat(fire, 200);
    struct Case {
        const char* name;
        int mode, state;
        std::string text, details, state_, largeText;
    };
    // By state: stopped, playing, paused.
    const char* const kLook[][2] = {{"stop", "Stopped"}, {"play", "Playing"}, {"pause", "Paused"}};
    const Case cases[] = {
        {"one line playing", 0, 1, "Kiln - Glaze", "Kiln - Glaze", "", ""},
        {"one line paused", 0, 2, "Kiln - Glaze", "Kiln - Glaze", "Paused", ""},
        {"one line stopped", 0, 0, "Kiln - Glaze", "Kiln - Glaze", "Stopped", ""},
        // Discord refuses a text under two characters: one is padded.
        {"one character each", 0, 2, "x\r\ny\r\nz", "x ", "y ", "z "},
        {"one wide character", 0, 1, "\xE4\xB8\xAD", "\xE4\xB8\xAD ", "", ""},
        {"one character legacy", 2, 0, "x", "x ", "Stopped", "x "},
        {"empty first line playing", 0, 1, "\r\nsecond", "second", "", ""},
        {"empty first line paused", 0, 2, "\r\nsecond", "", "second", ""},
        {"empty stopped", 0, 0, "", "", "Stopped", ""},
        // Nothing visible: left out, or the state's text.
        {"empty stopped legacy", 2, 0, "", "", "Stopped", ""},
        {"empty lines legacy", 2, 2, "\r\n\r\n", "", "Paused", ""},
        {"empty playing", 0, 1, "", "", "", ""},
        {"blank lines", 0, 1, " \t\r\n\xC2\xA0\xE3\x80\x80\r\n\xE2\x80\x8B ", "", "", ""},
        {"blank second line paused", 0, 2, "ab\r\n  ", "ab", "Paused", ""},
        {"blank first line playing", 0, 1, " \r\nsecond", "second", "", ""},
        {"four lines", 1, 2, four, "a ", "b\r\nc", "d "},
        {"four lines legacy", 2, 2, four, "a ", "b\r\nc\r\nd", four},
        {"empty middle line", 0, 0, "ab\r\n\r\ncd", "ab", "Stopped", "cd"},
        // What a byte cut can leave: a lone CR last, a lone break before a
        // multi-byte character.
        {"lone CR last", 0, 1, "ab\r", "ab", "", ""},
        {"lone CR last of second line", 0, 2, "ab\r\ncd\r", "ab", "cd", ""},
        {"lone LF before a two-byte character", 0, 1, "ab\n\xC3\xA9to", "ab", "to", ""},
        // Fields of 128 bytes keep whole characters only, or Discord refuses
        // the message.
        {"cut fields", 0, 1, fires + "\r\n" + fires + "\r\n" + fires, Repeat(fire, 31),
         Repeat(fire, 31), Repeat(fire, 31)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        discordPrefix.store(c.mode);
        ComposePresence(c.text, c.state);
        EXPECT_EQ(std::string(presenceRecord.details), c.details);
        EXPECT_EQ(std::string(presenceRecord.state), c.state_);
        EXPECT_EQ(std::string(presenceRecord.largeText), c.largeText);
        EXPECT_EQ(std::string(presenceRecord.smallImage), kLook[c.state][0]);
        EXPECT_EQ(std::string(presenceRecord.smallText), kLook[c.state][1]);
    }
}

TEST_F(PresenceCompose, TimesOnlyWhilePlayingWithAKnownLength) {
    struct Case {
        int state, lengthSeconds, positionMs;
        int64_t start, end;
    };
    const Case cases[] = {
        // Counted from the item's real start, also after a resume or a seek.
        {1, 200, 50999, kNow - 50, kNow + 150},
        {1, 200, 6000, kNow - 6, kNow + 194},
        {1, 200, -40, kNow, kNow + 200},
        {1, 0, 50000, 0, 0},  // a stream without length
        {2, 200, 50000, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.positionMs);
        host().SetPlayback({1, c.positionMs, L"", c.lengthSeconds});
        ComposePresence("x", c.state);
        EXPECT_EQ(presenceRecord.startTime, c.start);
        EXPECT_EQ(presenceRecord.endTime, c.end);
    }
}

TEST_F(PresenceCompose, FormatsForTheItemAndCutsBytes) {
    const auto track = host::WriteSampleTrack(
        ModuleHost::Get().MediaFolder(),
        {.fileName = "format.wav", .title = L"Gr\u00e8s", .artist = L"Ash", .seconds = 10});
    ASSERT_FALSE(track.empty());
    host().SetPlayback({1, 0, host::FromFsPath(track), -1});
    const std::wstring x = L"x";
    struct Case {
        const char* name;
        std::wstring templateText;
        std::string expected;
    };
    const Case cases[] = {
        {"lines survive formatting", L"%title%\r\n%artist%", "Gr\xC3\xA8s\r\nAsh"},
        {"one line: 128 bytes", Repeat(x, 300), std::string(128, 'x')},
        {"with a break: 256 bytes", Repeat(x, 150) + L"\r\n" + Repeat(x, 150),
         std::string(150, 'x') + "\r\n" + std::string(104, 'x')},
        {"at a character boundary", Repeat(std::wstring(L"\u20ac"), 100),
         Repeat(std::string("\xE2\x82\xAC"), 42)},
        {"between CR and LF", Repeat(x, 255) + L"\r\nyy", std::string(255, 'x') + "\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CopyWide(presenceTemplate, kLineChars, c.templateText.c_str());
        EXPECT_EQ(FormatPresenceText(nullptr), c.expected);
    }

    // A tag's control characters become one space a run; the template's own
    // line break stays.
    const auto lines =
        host::WriteSampleTrack(ModuleHost::Get().MediaFolder(), {.fileName = "lines.wav",
                                                                 .title = L"First line\r\n\tSecond",
                                                                 .artist = L"Ash",
                                                                 .seconds = 10});
    host().SetPlayback({1, 0, host::FromFsPath(lines), -1});
    CopyWide(presenceTemplate, kLineChars, L"%title%\r\n%artist%");
    EXPECT_EQ(FormatPresenceText(nullptr), "First line Second\r\nAsh");
}

}  // namespace
}  // namespace kiln::test
