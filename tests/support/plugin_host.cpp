#include "support/plugin_host.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "host/host_threads.h"
#include "services/paths.h"

namespace kiln::test {

std::filesystem::path PluginLibraryPath() {
#ifdef KILN_PLUGIN_DIR
    return std::filesystem::path(KILN_PLUGIN_DIR) / "gen_kiln.so";
#else
    return "gen_kiln.so";
#endif
}

TempFolder::TempFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "kiln-test-XXXXXX").string();
    path_ = mkdtemp(name.data());
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

PluginHost::PluginHost(const std::filesystem::path& profile, host::HostOptions options)
    : profilePath_(profile.empty() ? profile_.path() : profile) {
    host().UseSystemClock();
    host().OpenProfile(profilePath_, options);
    std::string error;
    if (!host().LoadPlugin(PluginLibraryPath(), &error)) {
        ADD_FAILURE() << "cannot load the plug-in: " << error;
    }
}

PluginHost::~PluginHost() {
    if (started_ && !quitted_) {
        Quit();
    }
    host().UnloadPlugin();
    host().UseSystemClock();
}

void PluginHost::SetInt(const wchar_t* key, int value) {
    settings().WriteInt(L"gen_kiln", key, value);
}

void PluginHost::SetText(const wchar_t* key, const wchar_t* value) {
    settings().WriteText(L"gen_kiln", key, value);
}

void PluginHost::Start(const std::function<void()>& beforeStartUp) {
    ASSERT_TRUE(host().PluginLoaded());
    EXPECT_EQ(host().InitPlugin(), 0);
    if (beforeStartUp) {
        beforeStartUp();
    }
    host().RunDeferredStartup();
    started_ = true;
}

void PluginHost::Quit() {
    host().QuitPlugin();
    quitted_ = true;
    EXPECT_TRUE(host().Threads().WaitAllEnded(std::chrono::milliseconds(15000)))
        << "a thread of the plug-in outlived quit";
}

void PluginHost::Play(const std::filesystem::path& file, int lengthSeconds) {
    PlayStream(host::FromFsPath(file), lengthSeconds);
}

void PluginHost::PlayStream(const std::wstring& url, int lengthSeconds) {
    host().SetPlayback({1, 0, url, lengthSeconds});
    host().NotifyNewItem();
    RunFor(0);
}

void PluginHost::SetStatus(int status, int positionMs) {
    auto now = host().Playback();
    now.status = status;
    now.positionMs = positionMs < 0 ? now.positionMs : positionMs;
    host().SetPlayback(now);
    host().NotifyStatusChanged();
    RunFor(0);
}

bool PluginHost::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    // What the test waits for often happens on a plug-in thread, which does
    // not wake the main loop; look again every few milliseconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        windows().RunFor(std::chrono::milliseconds(5));
    }
    return true;
}

void PluginHost::RunFor(int ms) {
    windows().RunFor(std::chrono::milliseconds(ms));
}

}  // namespace kiln::test
