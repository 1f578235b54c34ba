// The scrobble cache file: its byte layout, reading damaged and torn lines,
// and a replacement that fails. A replacement that succeeds, and its backup,
// are checked through the host.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "scrobbler/scrobble_cache.h"
#include "services/paths.h"
#include "support/module_host.h"

namespace kiln::test {
namespace {

class CacheFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ModuleHost::Get();
        for (const auto& file : {Cache(), Backup(), Cache() += ".tmp"}) {
            std::filesystem::remove_all(file);
        }
    }
    static std::filesystem::path Cache() { return CachePath(); }
    static std::filesystem::path Backup() { return CacheBackupPath(); }
    static void Append(const std::string& bytes) {
        std::ofstream(Cache(), std::ios::binary | std::ios::app) << bytes;
    }
    // Time and name of each line read; time 0 for an unusable line.
    static std::vector<std::pair<int64_t, std::wstring>> ReadAll() {
        std::vector<std::pair<int64_t, std::wstring>> lines;
        const CacheContents contents = ReadCache();
        for (size_t i = 0; i < contents.lines.size(); ++i) {
            const CacheLine line = ParseCacheEntry(contents.Line(i));
            const bool entry = line.kind == CacheLineKind::CacheEntry;
            lines.emplace_back(entry ? line.time : 0, entry ? line.fileName : L"");
        }
        return lines;
    }
};

TEST_F(CacheFile, LinesAreWrittenExactlyAndDamagedOnesReadAsUnusable) {
    using namespace std::string_literals;
    const std::wstring accented = L"/music/Bj\u00F6rk/J\u00F3ga \u2013 \u6771\u4EAC.mp3";
    // Longer than 258 bytes of UTF-8: stored and read whole.
    const std::wstring longName = L"/music/" + std::wstring(150, L'\u00E9') + L".mp3";
    AppendToCache(L"D:\\Music\\a,b.mp3", 1700000000);
    AppendToCache(accented.c_str(), 4102444800LL);  // past 32 bits
    AppendToCache(longName.c_str(), 1700000100);
    std::string longUtf8;
    for (int i = 0; i < 150; ++i) {
        longUtf8 += "\xC3\xA9";
    }
    EXPECT_EQ(
        ReadFileBytes(Cache()),
        "1700000000,D:\\Music\\a,b.mp3\r\n"
        "4102444800,/music/Bj\xC3\xB6rk/J\xC3\xB3ga \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC.mp3\r\n"
        "1700000100,/music/" +
            longUtf8 + ".mp3\r\n");

    Append(
        "\r\nno comma\r\n5,\r\n,/music/no-time.mp3\r\n17x0,/music/damaged.mp3\r\n"
        "99999999999999999999,/music/huge.mp3\r\n6,/music/bad\xFF\xFEutf8.mp3\r\n"
        "7,/music/zero\0byte.mp3\r\n8,/music/lf.mp3\n9,/music/unterminated.mp3"s);
    EXPECT_FALSE(ReadCache().EndsWithBreak());
    // The next line must not be glued to a torn one.
    AppendToCache(L"/music/after.mp3", 10, true);
    std::vector<std::pair<int64_t, std::wstring>> expected = {
        {1700000000, L"D:\\Music\\a,b.mp3"}, {4102444800LL, accented}, {1700000100, longName}};
    expected.insert(expected.end(), 8, {0, L""});  // the damaged lines
    expected.insert(
        expected.end(),
        {{8, L"/music/lf.mp3"}, {9, L"/music/unterminated.mp3"}, {10, L"/music/after.mp3"}});
    EXPECT_EQ(ReadAll(), expected);
}

// A replacement that cannot be written (a folder where its temporary file
// goes) leaves the cache as it was.
TEST_F(CacheFile, AReplacementIsWholeOrNotAtAll) {
    const std::string before = "1,/music/kept.mp3\r\n";
    Append(before);
    std::filesystem::create_directories(Cache() += ".tmp/occupied");
    EXPECT_FALSE(ReplaceCache(before, "3,/music/other.mp3\r\n"));
    EXPECT_EQ(ReadFileBytes(Cache()), before);
}

}  // namespace
}  // namespace kiln::test
