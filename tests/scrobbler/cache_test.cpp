// The scrobble cache file: its byte layout, reading damaged and unusual
// lines, and the rewrite that drops sent lines.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/paths.h"
#include "module_host.h"
#include "scrobbler/cache_line.h"
#include "scrobbler/scrobble_cache.h"

namespace kiln::test {
namespace {

TEST(CacheLineText, ParsesTimeAndWholeNameAfterTheFirstComma) {
    const struct {
        const char* line;
        CacheLineKind kind;
        int64_t time;
        const char* name;
    } cases[] = {
        {"1700000000,D:\\Music\\a,b.mp3\r\n", CacheLineKind::CacheEntry, 1700000000,
         "D:\\Music\\a,b.mp3"},
        {"1700000000,/music/x.mp3\n", CacheLineKind::CacheEntry, 1700000000, "/music/x.mp3"},
        {"1700000000,/music/unterminated.mp3", CacheLineKind::CacheEntry, 1700000000,
         "/music/unterminated.mp3"},
        // After 2038 the time no longer fits 32 bits.
        {"4102444800,/music/2100.mp3\r\n", CacheLineKind::CacheEntry, 4102444800LL,
         "/music/2100.mp3"},
        {"-5,/music/old.mp3\r\n", CacheLineKind::CacheEntry, -5, "/music/old.mp3"},
        {"\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {"", CacheLineKind::CacheUnusable, 0, ""},
        {"no comma here\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {"1700000000,\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {",/music/no-time.mp3\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {"17x0,/music/damaged.mp3\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {" 1700000000,/music/blank.mp3\r\n", CacheLineKind::CacheUnusable, 0, ""},
        {"99999999999999999999,/music/huge.mp3\r\n", CacheLineKind::CacheUnusable, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedCacheLine parsed = ParseCacheLine(c.line);
        EXPECT_EQ(parsed.kind, c.kind);
        if (c.kind == CacheLineKind::CacheEntry) {
            EXPECT_EQ(parsed.time, c.time);
            EXPECT_EQ(std::string(parsed.name), c.name);
        }
    }
    EXPECT_EQ(FormatCacheLine(1700000000, "D:\\Music\\a,b.mp3"),
              "1700000000,D:\\Music\\a,b.mp3\r\n");
}

class CacheFile : public ::testing::Test {
  protected:
    void SetUp() override { ModuleHost::Get().Reset(); }
    std::filesystem::path Cache() const { return ModuleHost::Get().CacheFile(); }
    std::filesystem::path Backup() const { return Cache().string() + ".backup"; }

    static std::vector<CacheLine> ReadAll(const std::filesystem::path& file) {
        std::vector<CacheLine> lines;
        std::wstring path = host::FromFsPath(file);
        void* reader = OpenCacheForReading(path.c_str());
        if (!reader) {
            return lines;
        }
        for (CacheLine line = ReadCacheLine(reader); line.kind != CacheLineKind::CacheEnd;
             line = ReadCacheLine(reader)) {
            lines.push_back(line);
        }
        CloseCacheReader(reader);
        return lines;
    }
    void WriteRaw(const std::string& bytes) {
        std::ofstream out(Cache(), std::ios::binary);
        out << bytes;
    }
    static std::wstring Name(int i) { return L"/music/track " + std::to_wstring(i) + L".mp3"; }
};

TEST_F(CacheFile, PathIsInTheHostsCacheFolder) {
    EXPECT_EQ(std::wstring(CachePath()), host::FromFsPath(Cache()));
    EXPECT_EQ(CacheBackupPath(), host::FromFsPath(Cache()) + L".backup");
}

TEST_F(CacheFile, AppendWritesTheExactLinesAndReadsThemBack) {
    const std::wstring accented = L"/music/Bj\u00F6rk/J\u00F3ga \u2013 \u6771\u4EAC.mp3";
    // Longer than 258 bytes of UTF-8: stored and read whole.
    std::wstring longName = L"/music/";
    for (int i = 0; i < 150; ++i) {
        longName += L"\u00E9";
    }
    longName += L".mp3";
    AppendToCache(L"D:\\Music\\a,b.mp3", 1700000000);
    AppendToCache(accented.c_str(), 4102444800LL);
    AppendToCache(longName.c_str(), 1700000100);

    const std::string expected =
        "1700000000,D:\\Music\\a,b.mp3\r\n"
        "4102444800,/music/Bj\xC3\xB6rk/J\xC3\xB3ga \xE2\x80\x93 "
        "\xE6\x9D\xB1\xE4\xBA\xAC.mp3\r\n";
    const std::string bytes = ReadFileBytes(Cache());
    ASSERT_GT(bytes.size(), expected.size());
    EXPECT_EQ(bytes.substr(0, expected.size()), expected);
    EXPECT_EQ(bytes.size(), expected.size() + 11 + 7 + 300 + 4 + 2);

    std::vector<CacheLine> lines = ReadAll(Cache());
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.kind, CacheLineKind::CacheEntry);
    }
    EXPECT_EQ(lines[0].time, 1700000000);
    EXPECT_EQ(lines[0].fileName, L"D:\\Music\\a,b.mp3");
    EXPECT_EQ(lines[1].time, 4102444800LL);
    EXPECT_EQ(lines[1].fileName, accented);
    EXPECT_EQ(lines[2].fileName, longName);
}

TEST_F(CacheFile, DamagedLinesAreReadAsUnusableAndTheRestSurvives) {
    using namespace std::string_literals;
    WriteRaw(
        "100,/music/one.mp3\r\n"
        "\r\n"
        "garbage without comma\r\n"
        "200,/music/bad\xFF\xFEutf8.mp3\r\n"
        "300,/music/zero\0byte.mp3\r\n"
        "400,/music/two.mp3\r\n"s);
    std::vector<CacheLine> lines = ReadAll(Cache());
    ASSERT_EQ(lines.size(), 6u);
    const CacheLineKind kinds[] = {CacheLineKind::CacheEntry,    CacheLineKind::CacheUnusable,
                                   CacheLineKind::CacheUnusable, CacheLineKind::CacheUnusable,
                                   CacheLineKind::CacheUnusable, CacheLineKind::CacheEntry};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].kind, kinds[i]) << "line " << i + 1;
    }
    EXPECT_EQ(lines[5].fileName, L"/music/two.mp3");
    EXPECT_EQ(lines[5].time, 400);
}

TEST_F(CacheFile, RewriteKeepsTheUnsentLinesInOrderAndTheWholeFileAsBackup) {
    for (int i = 1; i <= 70; ++i) {
        AppendToCache(Name(i).c_str(), 1700000000 + i);
    }
    const std::string before = ReadFileBytes(Cache());
    RewriteCache(50);
    EXPECT_EQ(ReadFileBytes(Backup()), before);
    std::vector<CacheLine> kept = ReadAll(Cache());
    ASSERT_EQ(kept.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(kept[i].fileName, Name(51 + i));
        EXPECT_EQ(kept[i].time, 1700000000 + 51 + i);
    }
    // A second rewrite replaces the backup.
    const std::string second = ReadFileBytes(Cache());
    RewriteCache(5);
    EXPECT_EQ(ReadFileBytes(Backup()), second);
    EXPECT_EQ(ReadAll(Cache()).size(), 15u);
}

TEST_F(CacheFile, RewriteDropsUnusableLinesAfterTheConsumedOnes) {
    WriteRaw("1,/music/sent.mp3\r\n\r\n2,/music/kept.mp3\r\nbroken\r\n3,/music/also kept.mp3\r\n");
    RewriteCache(1);
    EXPECT_EQ(ReadFileBytes(Cache()), "2,/music/kept.mp3\r\n3,/music/also kept.mp3\r\n");
}

TEST_F(CacheFile, UnsentLinesStayInTheCacheWhenTheBackupCannotBeMade) {
    for (int i = 1; i <= 3; ++i) {
        AppendToCache(Name(i).c_str(), 1700000000 + i);
    }
    const std::string before = ReadFileBytes(Cache());
    // A folder where the backup should go: neither rename nor copy can replace it.
    std::filesystem::create_directories(Backup() / "occupied");
    RewriteCache(1);
    EXPECT_EQ(ReadFileBytes(Cache()), before);
    EXPECT_TRUE(std::filesystem::is_directory(Backup()));
}

}  // namespace
}  // namespace kiln::test
