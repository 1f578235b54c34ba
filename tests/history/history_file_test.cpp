// What the history writer relies on from the system, on each system: appends
// from several writers at once stay whole, and dates and times have digits
// even where the locale calls fail (Wine with the default locale).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock_text.h"
#include "platform/file.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiln::test {
namespace {

#ifdef _WIN32
// Wine emulates an append-only handle with a separate seek and write, so two
// appenders can overlap there; Windows itself appends such writes atomically.
bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
#else
bool UnderWine() {
    return false;
}
#endif

TEST(HistoryFile, AppendsFromTwoWritersAtOnceAreAllKept) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine's append-only handles are not atomic";
    }
    const auto file = std::filesystem::temp_directory_path() /
                      ("kiln-append-" + std::to_string(std::random_device{}()) + ".txt");
    constexpr int kLines = 500;
    auto writer = [&](char mark) {
        // Each append opens the file anew, as the plug-in does.
        const std::string line(40, mark);
        for (int i = 0; i < kLines; ++i) {
            platform::FileHandle handle = platform::OpenSharedForAppend(file.wstring().c_str());
            ASSERT_NE(handle, nullptr);
            EXPECT_TRUE(platform::AppendAll(handle, (line + "\r\n").data(), line.size() + 2));
            platform::CloseFileHandle(handle);
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    in.close();
    std::filesystem::remove(file);
    const std::string all = text.str();
    EXPECT_EQ(all.size(), size_t{2} * kLines * 42);
    // Nothing is left once every whole line is taken out.
    EXPECT_EQ(std::regex_replace(all, std::regex("(a{40}|b{40})\r\n"), ""), "");
}

TEST(HistoryFile, DateAndTimeAreNeverEmpty) {
    for (int64_t moment : {int64_t{0}, int64_t{1796390739}, int64_t{4102444799}}) {
        SCOPED_TRACE(moment);
        const std::wstring date = platform::LocalDateText(moment);
        const std::wstring time = platform::LocalTimeText(moment);
        EXPECT_TRUE(std::regex_match(date, std::wregex(L"\\d\\d-\\d\\d-\\d\\d\\d\\d")));
        EXPECT_TRUE(std::regex_match(time, std::wregex(L"\\d\\d:\\d\\d:\\d\\d")));
    }
}

}  // namespace
}  // namespace kiln::test
