#include "services/settings_store.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host_stores/on_threads.h"
#include "services/text_services.h"
#include "support/plugin_host.h"

namespace kiln::host {
namespace {

using test::ReadFileBytes;

void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path Ini() const { return folder_.path() / "profile.ini"; }
    test::TempFolder folder_;
};

// Other tools and older files read this form.
TEST(EscapeText, StoredFormIsStableAndOtherBackslashesStay) {
    EXPECT_EQ(EscapeText(L"a\r\nb"), L"a\\r\\nb");
    EXPECT_EQ(EscapeText(L"  x y  "), L"\\s\\sx y\\s\\s");
    EXPECT_EQ(EscapeText(L"a\\b\tc"), L"a\\\\b\\tc");
    for (const wchar_t* text : {L"C:\\Music\\Album\\01.mp3", L"ends with \\", L"=;[]\"q\""}) {
        EXPECT_EQ(UnescapeText(text), text) << WideToUtf8(text);
    }
}

// Texts that break naive escapes and naive INI files, then random ones: each
// escapes to one line without outer blanks and back, and survives the file.
TEST_F(SettingsStoreTest, AwkwardTextsSurviveTheEscapeAndTheFile) {
    std::vector<std::wstring> texts;
    for (const wchar_t* text :
         {L"", L"line one\r\nline two", L"lf only\nand cr only\r", L"trailing backslash\\",
          L"\\n is not a line break here", L"C:\\Music\\new\\track.mp3", L" leading and trailing  ",
          L"\tleading tab", L" \\ \r\n = ; [ ] \t ", L"; not a comment", L"\"quoted\"", L"\"",
          L"\u266B [%artist% - ]$if2(%title%,$filepart(%filename%)) \u266B",
          L"\u65E5\u672C\u8A9E \u00E9 \U0001F600 \uFFFD"}) {
        texts.emplace_back(text);
    }
    const size_t stored = texts.size() + 40;  // every write goes to disk: fewer there
    std::mt19937 random(20240927);
    const std::wstring alphabet = L"\r\n\\=;[] \t\"snrtaZ\u00E9\u266B\U0001F600";
    std::uniform_int_distribution<size_t> length(0, 24), pick(0, alphabet.size() - 1);
    while (texts.size() < 5000) {
        std::wstring& text = texts.emplace_back(length(random), L'\0');
        for (auto& c : text) {
            c = alphabet[pick(random)];
        }
    }
    SettingsStore store(Ini());
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::wstring escaped = EscapeText(texts[i]);
        ASSERT_EQ(UnescapeText(escaped), texts[i]) << WideToUtf8(texts[i]);
        ASSERT_EQ(escaped.find_first_of(L"\r\n\t"), std::wstring::npos) << WideToUtf8(texts[i]);
        ASSERT_TRUE(escaped.empty() || (escaped.front() != L' ' && escaped.back() != L' '));
        if (i < stored) {
            ASSERT_TRUE(store.WriteText(L"t", std::to_wstring(i).c_str(), texts[i].c_str()));
        }
    }
    ASSERT_TRUE(store.WriteInt(L"n", L"min", INT_MIN));
    ASSERT_TRUE(store.WriteInt(L"n", L"max", INT_MAX));
    EXPECT_EQ(ReadFileBytes(Ini()).find('\r'), std::string::npos) << "lines end with LF alone";
    const SettingsStore reread(Ini());
    for (size_t i = 0; i < stored; ++i) {
        EXPECT_EQ(reread.Get(L"t", std::to_wstring(i)), texts[i]) << WideToUtf8(texts[i]);
    }
    EXPECT_EQ(reread.ReadInt(L"n", L"min", 0), INT_MIN);
    EXPECT_EQ(reread.ReadInt(L"n", L"max", 0), INT_MAX);
}

TEST_F(SettingsStoreTest, ReadsDefaultsCutTextsAndOnlyWellFormedIntegers) {
    WriteFile(
        Ini(),
        "[n]\nplain=42\nblanks= -12 \t\nmin=-2147483648\nas_unsigned=4294967295\n"
        "above_max=2147483648\nquoted=\"17\"\nbelow_min=-2147483649\nbeyond=4294967296\n"
        "tail=12abc\nempty=\nhex=0x10\nsign_only=-\ntext=abcdef\nhuge=18446744073709551621\n");
    const SettingsStore store(Ini());
    // Unsigned 32-bit values read as their bit pattern; what is not an integer
    // reads as the default, 99.
    const std::pair<const wchar_t*, int> ints[] = {
        {L"plain", 42},          {L"blanks", -12}, {L"min", INT_MIN},  {L"as_unsigned", -1},
        {L"above_max", INT_MIN}, {L"quoted", 17},  {L"below_min", 99}, {L"beyond", 99},
        {L"tail", 99},           {L"empty", 99},   {L"hex", 99},       {L"sign_only", 99},
        {L"text", 99},           {L"huge", 99},    {L"missing", 99}};
    for (const auto& [key, value] : ints) {
        EXPECT_EQ(store.ReadInt(L"n", key, 99), value) << WideToUtf8(key);
    }

    wchar_t folder[260] = L"/home/user/Logs";  // the default may be the buffer itself
    EXPECT_EQ(store.ReadText(L"n", L"log_folder", folder, folder, 260), 15);
    EXPECT_STREQ(folder, L"/home/user/Logs");
    const struct {
        const wchar_t *key, *def;
        int size;
        const wchar_t* expected;
    } cases[] = {
        {L"text", L"x", 1, L""},        {L"text", L"x", 4, L"abc"},   {L"text", L"x", 7, L"abcdef"},
        {L"absent", L"long", 3, L"lo"}, {L"absent", nullptr, 9, L""},
    };
    for (const auto& c : cases) {
        wchar_t buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(store.ReadText(L"n", c.key, c.def, buffer, c.size),
                  static_cast<int>(std::wcslen(c.expected)));
        EXPECT_STREQ(buffer, c.expected) << c.size;
        EXPECT_EQ(buffer[c.size], L'#') << "wrote past the buffer of " << c.size;
    }
}

// Comments, unknown keys and odd lines stay where they are through every rewrite.
TEST_F(SettingsStoreTest, HandWrittenFilesKeepEverythingButTheChangedLines) {
    WriteFile(Ini(),
              "\xEF\xBB\xBF; written by hand\r\n"
              "[player]\r\nvolume=80\r\nskin=dark\r\n; about gen_kiln\r\n"
              "[gen_kiln]\r\n  file = spaced.txt  \r\n; keep me\r\nodd line without equals\r\n"
              "logging_on=1\r\nlogging_on=0\r\nKey=upper\r\n; new keys go above\r\n"
              "[Gen_Kiln]\r\nkey=other section\r\n"
              "[extra]\r\nx=y");
    SettingsStore store(Ini());
    EXPECT_EQ(store.Get(L"gen_kiln", L"file"), L"spaced.txt");
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"logging_on", 5), 1) << "the first of two keys counts";
    EXPECT_EQ(store.Get(L"extra", L"x"), L"y") << "a last line without line end is read";
    EXPECT_EQ(store.Get(L"Gen_Kiln", L"key"), L"other section");
    EXPECT_FALSE(store.Get(L"gen_kiln", L"key")) << "names are case-sensitive";

    ASSERT_TRUE(store.WriteInt(L"gen_kiln", L"prepost", 0));
    ASSERT_TRUE(store.WriteText(L"gen_kiln", L"file", L"new.txt"));
    ASSERT_TRUE(store.WriteText(L"player", L"skin", nullptr));
    ASSERT_TRUE(store.WriteText(L"player", L"never_there", nullptr));
    ASSERT_TRUE(store.WriteText(L"Gen_Kiln", nullptr, nullptr));
    EXPECT_EQ(ReadFileBytes(Ini()),
              "; written by hand\n"
              "[player]\nvolume=80\n; about gen_kiln\n"
              "[gen_kiln]\nfile=new.txt\n; keep me\nodd line without equals\n"
              "logging_on=1\nlogging_on=0\nKey=upper\nprepost=0\n; new keys go above\n"
              "[extra]\nx=y\n");
    EXPECT_FALSE(std::filesystem::exists(Ini().string() + ".tmp"));

    WriteFile(Ini(), "[gen_kiln]\nupdatediscord=1\n");
    EXPECT_FALSE(store.Get(L"gen_kiln", L"updatediscord"));
    store.Reload();
    EXPECT_EQ(store.ReadInt(L"gen_kiln", L"updatediscord", 9), 1);
}

TEST_F(SettingsStoreTest, FailedWritesChangeNothing) {
    SettingsStore store(Ini());
    const struct {
        const wchar_t *section, *key;
    } refused[] = {
        {nullptr, L"k"}, {L"", L"k"},    {L"a]b", L"k"}, {L"s\n", L"k"}, {L" s", L"k"},
        {L"s", L""},     {L"s", L"a=b"}, {L"s", L";k"},  {L"s", L"[k"},  {L"s", L"k "},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(store.WriteText(r.section, r.key, L"v"))
            << WideToUtf8(r.section ? r.section : L"(null)") << " / " << WideToUtf8(r.key);
    }
    EXPECT_EQ(store.ReadInt(L"s", L"k", 3), 3);
    EXPECT_FALSE(std::filesystem::exists(Ini())) << "neither refusals nor reads make the file";

    WriteFile(folder_.path() / "blocker", "a file, not a folder");
    SettingsStore blocked(folder_.path() / "blocker" / "profile" / "settings.ini");
    EXPECT_FALSE(blocked.WriteInt(L"gen_kiln", L"scrobble", 1));
    EXPECT_FALSE(blocked.WriteTemplate(L"gen_kiln", L"format", L"%title%"));
    EXPECT_EQ(blocked.ReadInt(L"gen_kiln", L"scrobble", 2), 2);
    EXPECT_FALSE(blocked.Get(L"gen_kiln", L"format"));
}

// Writers on several threads, into a profile folder that does not exist yet.
TEST_F(SettingsStoreTest, ConcurrentWritersLoseNothing) {
    SettingsStore store(folder_.path() / "new" / "profile" / "settings.ini");
    test::OnThreads(4, [&store](int t) {
        for (int n = t; n < 32; n += 4) {
            store.WriteInt(L"gen_kiln", L"k" + std::to_wstring(n), n);
            store.ReadInt(L"gen_kiln", L"k" + std::to_wstring(n), -1);
        }
    });
    const SettingsStore reread(store.File());
    for (int n = 0; n < 32; ++n) {
        EXPECT_EQ(reread.ReadInt(L"gen_kiln", L"k" + std::to_wstring(n), -1), n);
    }
}

}  // namespace
}  // namespace kiln::host
