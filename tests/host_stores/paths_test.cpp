#include "host/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/text_services.h"
#include "temp_folder.h"

namespace kiln::host {
namespace {

using test::TempFolder;
using test::WriteFile;

TEST(JoinPath, Table) {
    const struct {
        const wchar_t* folder;
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"/home/u/Logs", L"kiln_log.txt", L"/home/u/Logs/kiln_log.txt"},
        {L"/home/u/Logs/", L"kiln_log.txt", L"/home/u/Logs/kiln_log.txt"},
        {L"/home/u/Logs///", L"a", L"/home/u/Logs/a"},
        {L"/", L"etc", L"/etc"},
        {L"relative", L"a", L"relative/a"},
        {L"", L"a", L"a"},
        {L"/folder", L"", L"/folder"},
        {L"/folder", L"/absolute/name", L"/absolute/name"},
        {L"/cache", L"artcache\\discord.jpg", L"/cache/artcache/discord.jpg"},
        {L"C:\\Users\\u\\", L"x", L"C:/Users/u/x"},
        {L"/cache", L"\\rooted", L"/rooted"},
        {L"/M\u00FAsica", L"\u266B.txt", L"/M\u00FAsica/\u266B.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinPath(c.folder, c.name), c.expected)
            << WideToUtf8(c.folder) << " + " << WideToUtf8(c.name);
    }
}

TEST(NormalisePath, Table) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"/a/./b/../c", L"/a/c"},
        {L"//a///b/", L"/a/b"},
        {L"/../..", L"/"},
        {L"/a/../../b", L"/b"},
        {L"/", L"/"},
        {L"a/b/..", L"a"},
        {L"a/..", L"."},
        {L".", L"."},
        {L"./a/./", L"a"},
        {L"a/../..", L".."},
        {L"../../a", L"../../a"},
        {L"a\\b\\..\\c", L"a/c"},
        {L"\\root\\.\\x", L"/root/x"},
        {L"/a/b/../../../../c/d", L"/c/d"},
        {L"/a/.../b", L"/a/.../b"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalisePath(c.path), c.expected) << WideToUtf8(c.path);
    }
}

TEST(CreatePath, MakesParentsAndReportsWhatExists) {
    const TempFolder folder;
    const std::wstring base = FromFsPath(folder.Path());
    const std::wstring deep = JoinPath(base, L"one/tw\u00F6/three");
    EXPECT_TRUE(CreatePath(deep));
    EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(deep)));
    EXPECT_TRUE(CreatePath(deep)) << "an existing folder is success";

    WriteFile(folder / "file", "x");
    EXPECT_FALSE(CreatePath(JoinPath(base, L"file")));
    EXPECT_FALSE(CreatePath(JoinPath(base, L"file/below")));
    EXPECT_FALSE(CreatePath(L""));
}

TEST(FileExists, FilesAndFoldersOnly) {
    const TempFolder folder;
    const std::wstring base = FromFsPath(folder.Path());
    WriteFile(ToFsPath(JoinPath(base, L"na\u00EFve \u266B.txt")), "x");
    EXPECT_TRUE(FileExists(JoinPath(base, L"na\u00EFve \u266B.txt")));
    EXPECT_TRUE(FileExists(base));
    EXPECT_FALSE(FileExists(JoinPath(base, L"missing.txt")));
    EXPECT_FALSE(FileExists(L""));
    std::filesystem::create_symlink(folder / "nowhere", folder / "dangling");
    EXPECT_FALSE(FileExists(JoinPath(base, L"dangling")));
}

TEST(FsPath, ConvertsUtf8BothWaysAndReplacesWhatItCannot) {
    const std::wstring wide = L"/tmp/Sigur R\u00F3s/\u266B \U0001F600.mp3";
    EXPECT_EQ(ToFsPath(wide).native(), "/tmp/Sigur R\xC3\xB3s/\xE2\x99\xAB \xF0\x9F\x98\x80.mp3");
    EXPECT_EQ(FromFsPath(ToFsPath(wide)), wide);

    // Names on disk need not be UTF-8.
    EXPECT_EQ(FromFsPath(std::filesystem::path("/tmp/caf\xE9.mp3")), L"/tmp/caf\uFFFD.mp3");
    if constexpr (sizeof(wchar_t) == 4) {
        const std::wstring lone = {L'a', static_cast<wchar_t>(0xD800), L'b'};
        EXPECT_EQ(ToFsPath(lone).native(),
                  "a\xEF\xBF\xBD"
                  "b");
    }
}

}  // namespace
}  // namespace kiln::host
