#include "host/settings_store.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/text_services.h"
#include "temp_folder.h"

namespace kiln::host {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// Texts that break naive escapes and naive INI files.
const std::vector<std::wstring> kNastyTexts = {
    L"",
    L"plain",
    L"line one\r\nline two\r\nline three",
    L"lf only\nand cr only\r",
    L"\r\n",
    L"\\",
    L"\\\\",
    L"trailing backslash\\",
    L"\\n is not a line break here",
    L"\\s\\r\\t literal sequences",
    L"C:\\Music\\new\\track.mp3",
    L" leading space",
    L"trailing space ",
    L"   ",
    L" ",
    L"\tleading tab",
    L"tab\tinside",
    L"key=value=more",
    L"; not a comment",
    L"[not a section]",
    L"\"quoted\"",
    L"\"",
    L"\u266B [%artist% - ]$if2(%title%,$filepart(%filename%)) \u266B",
    L"\u65E5\u672C\u8A9E \u00E9\u00E8 \U0001F600 \uFFFD",
    L" \\ \r\n = ; [ ] \t ",
};

TEST(EscapeText, RoundTripsNastyTextsOnOneLine) {
    for (const auto& text : kNastyTexts) {
        const std::wstring escaped = EscapeText(text);
        EXPECT_EQ(UnescapeText(escaped), text) << WideToUtf8(text);
        EXPECT_EQ(escaped.find_first_of(L"\r\n\t"), std::wstring::npos) << WideToUtf8(text);
        if (!escaped.empty()) {
            EXPECT_NE(escaped.front(), L' ') << WideToUtf8(text);
            EXPECT_NE(escaped.back(), L' ') << WideToUtf8(text);
        }
    }
}

// The stored form is read by other tools and older files: keep it stable.
TEST(EscapeText, StoredForm) {
    const struct {
        std::wstring text, escaped;
    } cases[] = {
        {L"a\r\nb", L"a\\r\\nb"}, {L"  x y  ", L"\\s\\sx y\\s\\s"},
        {L"a\\b", L"a\\\\b"},     {L"a\tb", L"a\\tb"},
        {L"=;[]", L"=;[]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeText(c.text), c.escaped) << WideToUtf8(c.text);
    }
}

TEST(UnescapeText, LeavesTextWithoutOurSequencesAlone) {
    for (const wchar_t* text : {L"plain = ; [x] \"q\"", L"C:\\Music\\Album\\01.mp3",
                                L"ends with \\", L"\\x\\y\\z", L"  spaces kept  "}) {
        EXPECT_EQ(UnescapeText(text), text) << WideToUtf8(text);
    }
}

std::wstring RandomText(std::mt19937& random) {
    static const std::wstring kAlphabet = L"\r\n\\=;[] \t\"snrtaZ\u00E9\u266B\uFFFD\U0001F600";
    std::uniform_int_distribution<size_t> length(0, 24);
    std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
    std::wstring text(length(random), L'\0');
    for (auto& c : text) {
        c = kAlphabet[pick(random)];
    }
    return text;
}

TEST(EscapeText, RandomTextsRoundTrip) {
    std::mt19937 random(20240927);
    for (int i = 0; i < 5000; ++i) {
        const std::wstring text = RandomText(random);
        const std::wstring escaped = EscapeText(text);
        ASSERT_EQ(UnescapeText(escaped), text) << WideToUtf8(text);
        ASSERT_EQ(escaped.find_first_of(L"\r\n"), std::wstring::npos);
    }
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path Ini() const { return folder_ / "profile.ini"; }
    TempFolder folder_;
};

TEST_F(SettingsStoreTest, AbsentKeysGiveDefaults) {
    const SettingsStore store(Ini());
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"scrobble", 2), 2);
    EXPECT_FALSE(store.Get(L"gen_kiln", L"file"));
    wchar_t buffer[16] = L"garbage";
    EXPECT_EQ(store.ReadText(L"gen_kiln", L"file", L"fallback", buffer, 16), 8);
    EXPECT_STREQ(buffer, L"fallback");
    EXPECT_EQ(store.ReadText(L"gen_kiln", L"file", nullptr, buffer, 16), 0);
    EXPECT_STREQ(buffer, L"");
    EXPECT_FALSE(std::filesystem::exists(Ini())) << "reading must not create the file";
}

TEST_F(SettingsStoreTest, ReadTextCutsToTheBufferAndTerminates) {
    SettingsStore store(Ini());
    ASSERT_TRUE(store.WriteText(L"s", L"k", L"abcdef"));
    const struct {
        int size;
        const wchar_t* expected;
    } cases[] = {{1, L""}, {2, L"a"}, {4, L"abc"}, {6, L"abcde"}, {7, L"abcdef"}, {50, L"abcdef"}};
    for (const auto& c : cases) {
        wchar_t buffer[64];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        const int copied = store.ReadText(L"s", L"k", L"default", buffer, c.size);
        EXPECT_STREQ(buffer, c.expected) << c.size;
        EXPECT_EQ(copied, static_cast<int>(std::wcslen(c.expected)));
        EXPECT_EQ(buffer[c.size], L'#') << "wrote past the buffer of " << c.size;
    }
    wchar_t cut[4];
    EXPECT_EQ(store.ReadText(L"s", L"absent", L"long default", cut, 4), 3);
    EXPECT_STREQ(cut, L"lon");
}

TEST_F(SettingsStoreTest, DefaultMayBeTheBufferItself) {
    const SettingsStore store(Ini());
    wchar_t folder[260] = L"/home/user/Logs";
    EXPECT_EQ(store.ReadText(L"gen_kiln", L"art_now_folder", folder, folder, 260), 15);
    EXPECT_STREQ(folder, L"/home/user/Logs");
}

TEST_F(SettingsStoreTest, IntegerParsing) {
    WriteFile(Ini(),
              "[n]\n"
              "plain=42\nnegative=-7\nplus=+5\nblanks= 12 \t\nminus_one=-1\n"
              "int_min=-2147483648\nbelow_min=-2147483649\nint_max=2147483647\n"
              "as_unsigned=4294967295\nabove_max=2147483648\nbeyond=4294967296\n"
              "huge=99999999999999999999\n"
              "tail=12abc\nempty=\nletters=abc\nhex=0x10\nsigns=--1\nsign_only=-\n"
              "inner_blank=1 2\nquoted=\"17\"\n");
    const SettingsStore store(Ini());
    const struct {
        const wchar_t* key;
        int expected;
    } cases[] = {
        {L"plain", 42},       {L"negative", -7},       {L"plus", 5},          {L"blanks", 12},
        {L"minus_one", -1},   {L"int_min", INT_MIN},   {L"below_min", 999},   {L"int_max", INT_MAX},
        {L"as_unsigned", -1}, {L"above_max", INT_MIN}, {L"beyond", 999},      {L"huge", 999},
        {L"tail", 999},       {L"empty", 999},         {L"letters", 999},     {L"hex", 999},
        {L"signs", 999},      {L"sign_only", 999},     {L"inner_blank", 999}, {L"quoted", 17},
        {L"missing", 999},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store.ReadInt(L"n", c.key, 999), c.expected) << WideToUtf8(c.key);
    }
}

TEST_F(SettingsStoreTest, IntegersRoundTripThroughTheFile) {
    {
        SettingsStore store(Ini());
        for (const int value : {0, 1, -1, 600, INT_MIN, INT_MAX}) {
            ASSERT_TRUE(store.WriteInt(L"gen_kiln", L"v" + std::to_wstring(value), value));
        }
    }
    const SettingsStore reread(Ini());
    for (const int value : {0, 1, -1, 600, INT_MIN, INT_MAX}) {
        EXPECT_EQ(reread.ReadInt(L"gen_kiln", L"v" + std::to_wstring(value), 12345), value);
    }
}

TEST_F(SettingsStoreTest, AwkwardValuesSurviveTheFile) {
    {
        SettingsStore store(Ini());
        for (size_t i = 0; i < kNastyTexts.size(); ++i) {
            ASSERT_TRUE(store.WriteText(L"gen_kiln", (L"k" + std::to_wstring(i)).c_str(),
                                        kNastyTexts[i].c_str()));
        }
        ASSERT_TRUE(
            store.WriteTemplate(L"gen_kiln", L"discord", EscapeText(L"line 1\r\nline 2 ").c_str()));
    }
    const std::string content = ReadFile(Ini());
    EXPECT_EQ(content.find('\r'), std::string::npos) << "writes end lines with LF alone";
    const SettingsStore reread(Ini());
    for (size_t i = 0; i < kNastyTexts.size(); ++i) {
        const auto value = reread.Get(L"gen_kiln", L"k" + std::to_wstring(i));
        ASSERT_TRUE(value) << i;
        EXPECT_EQ(*value, kNastyTexts[i]) << WideToUtf8(kNastyTexts[i]);
    }
    EXPECT_EQ(UnescapeText(*reread.Get(L"gen_kiln", L"discord")), L"line 1\r\nline 2 ");
}

TEST_F(SettingsStoreTest, RandomValuesSurviveTheFile) {
    // Every write goes to disk, so fewer here; the escape itself is covered above.
    constexpr int kCount = 40;
    std::mt19937 random(7);
    std::vector<std::wstring> values;
    {
        SettingsStore store(Ini());
        for (int i = 0; i < kCount; ++i) {
            values.push_back(RandomText(random));
            ASSERT_TRUE(
                store.WriteText(L"r", (L"k" + std::to_wstring(i)).c_str(), values.back().c_str()));
        }
    }
    const SettingsStore reread(Ini());
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(reread.Get(L"r", L"k" + std::to_wstring(i)), values[static_cast<size_t>(i)]);
    }
}

TEST_F(SettingsStoreTest, NullValueRemovesKeyAndNullKeyRemovesSection) {
    SettingsStore store(Ini());
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"sk", L"session"));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"lfm", L"user"));
    ASSERT_TRUE(store.WriteInt(L"other", L"keep", 5));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"sk", nullptr));
    {
        const SettingsStore reread(Ini());
        EXPECT_FALSE(reread.Get(L"gen_kiln", L"sk"));
        EXPECT_EQ(reread.Get(L"gen_kiln", L"lfm"), L"user");
    }
    EXPECT_TRUE(store.WriteText(L"gen_kiln", L"never_there", nullptr));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", nullptr, nullptr));
    const SettingsStore reread(Ini());
    EXPECT_FALSE(reread.Get(L"gen_kiln", L"lfm"));
    EXPECT_EQ(reread.ReadInt(L"other", L"keep", 0), 5);
    EXPECT_EQ(ReadFile(Ini()).find("gen_kiln"), std::string::npos);
}

TEST_F(SettingsStoreTest, CommentsUnknownKeysAndLineEndsOfHandWrittenFiles) {
    WriteFile(Ini(),
              "\xEF\xBB\xBF; written by hand\r\n"
              "[player]\r\n"
              "volume=80\r\n"
              "; about gen_kiln\r\n"
              "[gen_kiln]\r\n"
              "  file = spaced.txt  \r\n"
              "; keep me\r\n"
              "odd line without equals\r\n"
              "logging_on=1\r\n"
              "logging_on=0\r\n"
              "[extra]\r\n"
              "x=y");
    SettingsStore store(Ini());
    EXPECT_EQ(store.Get(L"gen_kiln", L"file"), L"spaced.txt");
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"logging_on", 5), 1) << "the first of two keys counts";
    EXPECT_EQ(store.Get(L"extra", L"x"), L"y") << "a last line without line end is read";

    ASSERT_TRUE(store.WriteInt(L"gen_kiln", L"prepost", 0));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"file", L"new.txt"));
    const std::string content = ReadFile(Ini());
    EXPECT_EQ(content,
              "; written by hand\n"
              "[player]\n"
              "volume=80\n"
              "; about gen_kiln\n"
              "[gen_kiln]\n"
              "file=new.txt\n"
              "; keep me\n"
              "odd line without equals\n"
              "logging_on=1\n"
              "logging_on=0\n"
              "prepost=0\n"
              "[extra]\n"
              "x=y\n");
    EXPECT_FALSE(std::filesystem::exists(Ini().string() + ".tmp"));
}

TEST_F(SettingsStoreTest, NamesAreCaseSensitive) {
    SettingsStore store(Ini());
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"Key", L"upper"));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"key", L"lower"));
    ASSERT_TRUE(store.WriteText(L"Gen_Kiln", L"key", L"other section"));
    const SettingsStore reread(Ini());
    EXPECT_EQ(reread.Get(L"gen_kiln", L"Key"), L"upper");
    EXPECT_EQ(reread.Get(L"gen_kiln", L"key"), L"lower");
    EXPECT_EQ(reread.Get(L"Gen_Kiln", L"key"), L"other section");
}

TEST_F(SettingsStoreTest, NamesTheFileCannotHoldAreRefused) {
    SettingsStore store(Ini());
    const struct {
        const wchar_t* section;
        const wchar_t* key;
    } refused[] = {
        {nullptr, L"k"}, {L"", L"k"},   {L"a]b", L"k"},    {L"s\n", L"k"},
        {L" s", L"k"},   {L"s", L""},   {L"s", L"a=b"},    {L"s", L";k"},
        {L"s", L"[k"},   {L"s", L"k "}, {L"s", L"a\r\nb"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(store.WriteText(r.section, r.key, L"v"))
            << WideToUtf8(r.section ? r.section : L"(null)") << " / " << WideToUtf8(r.key);
    }
    EXPECT_FALSE(std::filesystem::exists(Ini()));
}

TEST_F(SettingsStoreTest, UnwritableFolderFailsWritesAndKeepsDefaults) {
    WriteFile(folder_ / "blocker", "a file, not a folder");
    SettingsStore store(folder_ / "blocker" / "profile" / "settings.ini");
    EXPECT_FALSE(store.WriteInt(L"gen_kiln", L"scrobble", 1));
    EXPECT_FALSE(store.WriteText(L"gen_kiln", L"sk", L"secret"));
    EXPECT_FALSE(store.WriteTemplate(L"gen_kiln", L"format", L"%title%"));
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"scrobble", 2), 2);
    EXPECT_FALSE(store.Get(L"gen_kiln", L"sk"));
    wchar_t buffer[8];
    EXPECT_EQ(store.ReadText(L"gen_kiln", L"sk", L"none", buffer, 8), 4);
    EXPECT_STREQ(buffer, L"none");
}

TEST_F(SettingsStoreTest, CreatesMissingProfileFolder) {
    SettingsStore store(folder_ / "new" / "profile" / "settings.ini");
    ASSERT_TRUE(store.WriteInt(L"gen_kiln", L"scrobble", 1));
    EXPECT_EQ(SettingsStore(store.File()).ReadInt(L"gen_kiln", L"scrobble", 0), 1);
}

TEST_F(SettingsStoreTest, ReloadSeesEditsFromOutside) {
    SettingsStore store(Ini());
    ASSERT_TRUE(store.WriteInt(L"gen_kiln", L"updatediscord", 0));
    WriteFile(Ini(), "[gen_kiln]\nupdatediscord=1\n");
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"updatediscord", 9), 0);
    store.Reload();
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"updatediscord", 9), 1);
}

TEST_F(SettingsStoreTest, ConcurrentWritersLoseNothing) {
    SettingsStore store(Ini());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 8; ++i) {
                const std::wstring key = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                store.WriteInt(L"gen_kiln", key, t * 100 + i);
                store.ReadInt(L"gen_kiln", key, -1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const SettingsStore reread(Ini());
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 8; ++i) {
            const std::wstring key = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
            EXPECT_EQ(reread.ReadInt(L"gen_kiln", key, -1), t * 100 + i);
        }
    }
}

}  // namespace
}  // namespace kiln::host
