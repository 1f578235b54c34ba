// Drives the plug-in as a player does, through the substitute host: a fresh
// profile in a temporary folder, the library loaded through its exports,
// init and the deferred start-up run through the main loop.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/settings_store.h"

namespace kiln::test {

std::filesystem::path PluginLibraryPath();

// A folder removed with everything in it at the end of the scope.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string ReadFileBytes(const std::filesystem::path& file);

class PluginHost {
  public:
    // Opens a fresh profile and loads the plug-in; Start() runs it.
    explicit PluginHost(host::HostOptions options = {}) : PluginHost({}, options) {}
    // Reuses an existing profile folder (kept after the host goes), as a
    // player restarted with the same settings and cache.
    PluginHost(const std::filesystem::path& profile, host::HostOptions options = {});
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    host::SubstituteHost& host() { return host::SubstituteHost::Instance(); }
    host::WindowSystem& windows() { return host().Windows(); }
    host::SettingsStore& settings() { return host().Settings(); }
    const std::filesystem::path& profile() const { return profilePath_; }
    std::filesystem::path LogsFolder() const { return profilePath_ / "Logs"; }

    void SetInt(const wchar_t* key, int value);
    void SetText(const wchar_t* key, const wchar_t* value);

    // init, then the main loop until the start-up message has been handled;
    // `beforeStartUp` runs in between, as a player's own work at launch does.
    void Start(const std::function<void()>& beforeStartUp = {});
    // quit, then wait for every thread the plug-in started.
    void Quit();

    // Playback as a player reports it, each followed by running the loop
    // so that the hook has seen the notification.
    void Play(const std::filesystem::path& file, int lengthSeconds = -1);
    void PlayStream(const std::wstring& url, int lengthSeconds = 0);
    void Pause() { SetStatus(3, -1); }
    void Resume(int positionMs = 1000) { SetStatus(1, positionMs); }
    void Stop() { SetStatus(0, 0); }

    // Runs the main loop until done() or the time-out; false on time-out.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);
    void RunFor(int ms);

  private:
    // -1 keeps the position.
    void SetStatus(int status, int positionMs);
    TempFolder profile_;
    std::filesystem::path profilePath_;
    bool started_ = false;
    bool quitted_ = false;
};

}  // namespace kiln::test
