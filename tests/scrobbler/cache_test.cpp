// The scrobble cache file: its byte layout, reading damaged lines, and the
// rewrite that drops sent lines.
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
        std::filesystem::remove(Cache());
        std::filesystem::remove_all(Backup());
    }
    static std::filesystem::path Cache() { return CachePath(); }
    static std::filesystem::path Backup() { return CacheBackupPath(); }
    static void Append(const std::string& bytes) {
        std::ofstream(Cache(), std::ios::binary | std::ios::app) << bytes;
    }
    // Time and name of each line read; time 0 for an unusable line.
    static std::vector<std::pair<int64_t, std::wstring>> ReadAll() {
        std::vector<std::pair<int64_t, std::wstring>> lines;
        void* reader = OpenCacheForReading(CachePath());
        for (CacheLine line;
             reader && (line = ReadCacheLine(reader)).kind != CacheLineKind::CacheEnd;) {
            const bool entry = line.kind == CacheLineKind::CacheEntry;
            lines.emplace_back(entry ? line.time : 0, entry ? line.fileName : L"");
        }
        if (reader) {
            CloseCacheReader(reader);
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
    const std::vector<std::pair<int64_t, std::wstring>> expected = {
        {1700000000, L"D:\\Music\\a,b.mp3"},
        {4102444800LL, accented},
        {1700000100, longName},
        {0, L""},
        {0, L""},
        {0, L""},
        {0, L""},
        {0, L""},
        {0, L""},
        {0, L""},
        {0, L""},
        {8, L"/music/lf.mp3"},
        {9, L"/music/unterminated.mp3"}};
    EXPECT_EQ(ReadAll(), expected);
}

TEST_F(CacheFile, RewriteDropsTheSentAndUnusableLinesAndKeepsTheOldFileAsBackup) {
    const std::string kept = "2,/music/kept.mp3\r\n3,/music/also kept.mp3\r\n";
    Append("1,/music/sent.mp3\r\n\r\n2,/music/kept.mp3\r\nbroken\r\n3,/music/also kept.mp3\r\n");
    const std::string before = ReadFileBytes(Cache());
    RewriteCache(1);
    EXPECT_EQ(ReadFileBytes(Cache()), kept);
    EXPECT_EQ(ReadFileBytes(Backup()), before);
    // A backup already there is replaced: the sent line must not come back.
    RewriteCache(1);
    EXPECT_EQ(ReadFileBytes(Cache()), "3,/music/also kept.mp3\r\n");
    EXPECT_EQ(ReadFileBytes(Backup()), kept);
}

TEST_F(CacheFile, UnsentLinesStayInTheCacheWhenTheBackupCannotBeMade) {
    Append("1,/music/one.mp3\r\n2,/music/two.mp3\r\n");
    // A folder where the backup should go: neither rename nor copy can replace it.
    std::filesystem::create_directories(Backup() / "occupied");
    RewriteCache(1);
    EXPECT_EQ(ReadFileBytes(Cache()), "1,/music/one.mp3\r\n2,/music/two.mp3\r\n");
}

}  // namespace
}  // namespace kiln::test
