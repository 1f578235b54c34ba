// One kiln-host per profile: "kiln-host prefs" beside a running follower gets
// the pages from that one, and nothing else starts on the same profile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "support/plugin_host.h"

extern char** environ;

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

// Runs a command to its end: its exit status and what it printed.
std::pair<int, std::string> RunCommand(const std::string& command) {
    std::string out;
    std::FILE* pipe = ::popen((command + " </dev/null 2>&1").c_str(), "r");
    std::array<char, 512> buffer{};
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe)) {
        out += buffer.data();
    }
    const int status = pipe ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(Instance, PrefsBesideARunningFollowerAreServedByIt) {
    TempFolder folder;
    const fs::path profile = folder.path() / "profile";
    // No session bus: the follower waits for one and runs all the same.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (folder.path() / "none").string()).c_str(),
           1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::string program = KILN_HOST_PROGRAM, flag = "--profile", where = profile.string(),
                mode = "follow";
    char* argv[] = {program.data(), flag.data(), where.data(), mode.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t follower = 0;
    ASSERT_EQ(posix_spawn(&follower, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 200 && !fs::exists(profile / "kiln-host.sock"); ++i) {
        usleep(25000);
    }
    EXPECT_EQ(fs::status(profile / "kiln-host.sock").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    const std::string self = std::string(KILN_HOST_PROGRAM) + " --profile " + where;
    const auto [status, printed] = RunCommand(self + " prefs");
    EXPECT_EQ(status, 0) << printed;
    std::smatch address;
    ASSERT_TRUE(std::regex_search(printed, address,
                                  std::regex(R"(preferences: http://127\.0\.0\.1:(\d+)(/\S+))")))
        << printed;
    EXPECT_NE(printed.find("already running"), std::string::npos) << printed;
    // The running follower answers at that address: the pages are its own.
    httplib::Client client("127.0.0.1", std::stoi(address[1]));
    const auto page = client.Get(address[2].str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    const auto [second, refused] = RunCommand(self);
    EXPECT_EQ(second, 1) << refused;
    EXPECT_NE(refused.find("already runs"), std::string::npos) << refused;

    // "Pause tracking" is asked of the running one too; its plug-in keeps it.
    const auto [paused, pausedSaid] = RunCommand(self + " tracking off");
    EXPECT_EQ(paused, 0) << pausedSaid;
    EXPECT_NE(pausedSaid.find("tracking: off"), std::string::npos) << pausedSaid;
    EXPECT_NE(ReadFileBytes(profile / "settings.ini").find("private_mode=1"), std::string::npos);
    const auto [resumed, resumedSaid] = RunCommand(self + " tracking on");
    EXPECT_NE(resumedSaid.find("tracking: on"), std::string::npos) << resumedSaid;

    kill(follower, SIGTERM);
    int ended = 0;
    waitpid(follower, &ended, 0);
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0);
    EXPECT_FALSE(fs::exists(profile / "kiln-host.sock"));
}

}  // namespace
}  // namespace kiln::test
