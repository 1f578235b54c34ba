// Paths, folders, text files and file digests.
#include "services/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/substitute_host.h"
#include "host_stores/on_threads.h"
#include "services/text_services.h"
#include "support/plugin_host.h"

namespace kiln::host {
namespace {

using test::ReadFileBytes;
using test::TempFolder;

TEST(PathText, JoinNormaliseAndConvert) {
    EXPECT_EQ(JoinPath(L"/home/u/Logs///", L"kiln_log.txt"), L"/home/u/Logs/kiln_log.txt");
    EXPECT_EQ(JoinPath(L"/", L"etc"), L"/etc");
    EXPECT_EQ(JoinPath(L"", L"a"), L"a");
    EXPECT_EQ(JoinPath(L"/folder", L""), L"/folder");
    EXPECT_EQ(JoinPath(L"/cache", L"\\rooted"), L"/rooted");
    EXPECT_EQ(JoinPath(L"C:\\Users\\u\\", L"artcache\\discord.jpg"),
              L"C:/Users/u/artcache/discord.jpg");
    // Each result followed by "|"; never above the root.
    std::wstring normal;
    for (const wchar_t* path : {L"//a/./b/../c/", L"/a/b/../../../../c", L"a/..", L"a/../../../b",
                                L"\\r\\.\\x\\..", L"/a/.../b", L""}) {
        normal += NormalisePath(path) + L"|";
    }
    EXPECT_EQ(normal, L"/a/c|/c|.|../../b|/r|/a/.../b||");

    // File-system names are UTF-8; what cannot convert is replaced.
    const std::wstring wide = L"/tmp/Gl\u00F3\u00F0 K\u00F3r/\u266B \U0001F600.mp3";
    EXPECT_EQ(ToFsPath(wide).native(),
              "/tmp/Gl\xC3\xB3\xC3\xB0 K\xC3\xB3r/\xE2\x99\xAB \xF0\x9F\x98\x80.mp3");
    EXPECT_EQ(FromFsPath(ToFsPath(wide)), wide);
    // Names on disk need not be UTF-8.
    EXPECT_EQ(FromFsPath(std::filesystem::path("/tmp/caf\xE9.mp3")), L"/tmp/caf\uFFFD.mp3");
    const std::wstring lone = {L'a', static_cast<wchar_t>(0xD800)};
    EXPECT_EQ(ToFsPath(lone).native(), "a\xEF\xBF\xBD");
}

TEST(PathsOnDisk, CreatePathFileExistsAndDigests) {
    const TempFolder folder;
    const std::wstring base = FromFsPath(folder.path());
    const std::wstring deep = JoinPath(base, L"one/tw\u00F6/three");
    EXPECT_TRUE(CreatePath(deep));
    EXPECT_TRUE(CreatePath(deep)) << "an existing folder is success";
    EXPECT_TRUE(FileExists(deep));
    std::ofstream(folder.path() / "abc") << "abc";
    EXPECT_TRUE(FileExists(JoinPath(base, L"abc")));
    EXPECT_FALSE(CreatePath(JoinPath(base, L"abc"))) << "a file is no folder";
    EXPECT_FALSE(CreatePath(JoinPath(base, L"abc/below")));
    EXPECT_FALSE(CreatePath(L""));
    EXPECT_FALSE(FileExists(JoinPath(base, L"missing")));
    std::filesystem::create_symlink(folder.path() / "nowhere", folder.path() / "dangling");
    EXPECT_FALSE(FileExists(JoinPath(base, L"dangling")));

    EXPECT_EQ(Sha256FileHex(folder.path() / "missing"), "");
    EXPECT_EQ(Sha256FileHex(folder.path()), "");
}

// Plug-in threads read the table's folder texts and the web settings while the
// program changes them; a text handed out stays valid.
TEST(HostTable, AnswersFromManyThreadsAtOnce) {
    const TempFolder profile;
    SubstituteHost& host = SubstituteHost::Instance();
    host.OpenProfile(profile.path());
    const HostServices* table = host.Table();
    const wchar_t* first = table->pathEntry(2);
    test::OnThreads(5, [&](int t) {
        for (int n = 0; n < 200; ++n) {
            if (t == 0) {  // the program
                host.SetWebAvailable(n % 2 == 0);
                host.SetWebBase(n % 2 ? "http://127.0.0.1:1/" : "http://127.0.0.1:2/");
                continue;
            }
            const std::wstring folder = table->pathEntry(n % 2 ? 2 : 40);
            EXPECT_EQ(folder.find(FromFsPath(profile.path())), 0u);
            host.WebAvailable();
            table->webBaseAddress();
        }
    });
    EXPECT_EQ(std::wstring(first), FromFsPath(profile.path()));
    host.SetWebAvailable(true);
}

// What the scrobble cache does not already exercise: flushing, cut lines, failures.
TEST(PathsOnDisk, TextFilesAreFlushedAtOnceAndReadLikeFgets) {
    const TempFolder folder;
    const std::wstring path = JoinPath(FromFsPath(folder.path()), L"scrobble.cache");
    void* slot = nullptr;
    ASSERT_TRUE(AppendTextFile(&slot, path, nullptr, 0));
    EXPECT_TRUE(FileExists(path)) << "opening alone creates the file";
    ASSERT_TRUE(AppendTextFile(&slot, path, "1700000000,a.mp3\r\n\r\n", -1));
    EXPECT_EQ(ReadFileBytes(ToFsPath(path)), "1700000000,a.mp3\r\n\r\n") << "before close";
    CloseTextFile(&slot);
    ASSERT_TRUE(AppendTextFile(&slot, path, "last line", 4)) << "opened again, appending";
    CloseTextFile(&slot);
    CloseTextFile(&slot);  // an empty slot is harmless
    EXPECT_FALSE(AppendTextFile(&slot, JoinPath(path, L"below"), "x", 1));
    EXPECT_EQ(slot, nullptr);

    std::FILE* file = OpenForReading(path);
    std::vector<std::string> lines;
    char buffer[8];
    while (!AtEnd(file)) {
        ASSERT_TRUE(ReadLine(file, buffer, sizeof(buffer)));
        lines.emplace_back(buffer);
    }
    EXPECT_FALSE(ReadLine(file, buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "") << "terminated even when nothing was read";
    CloseFile(file);
    EXPECT_EQ(lines, (std::vector<std::string>{"1700000", "000,a.m", "p3\r\n", "\r\n", "last"}));
    EXPECT_EQ(OpenForReading(JoinPath(path, L"missing")), nullptr);
}

}  // namespace
}  // namespace kiln::host
