// The substitute host: stands in for the player. One per process, since the
// plug-in finds its service table through the program's single export.
//
// Tests and kiln-host drive it from their main thread: open a profile, load the
// plug-in through its exports, run init and the deferred start-up through the
// main loop, move the clock and the playback, look at what the plug-in did.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/descriptor.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "services/track_info.h"

namespace kiln::host {

class SettingsStore;
class WindowSystem;
class HostThreads;
class TextObjects;

// What the player reports about playback. Guarded by its own lock: the plug-in
// asks from the worker while the test moves it on the main thread.
struct PlaybackSnapshot {
    int status = 0;  // 0 stopped, 1 playing, 3 paused
    int positionMs = 0;
    std::wstring file;
    int lengthSeconds = -1;  // -1: take it from the file's tags
    // What a player reported of the item; its texts that are not empty and a
    // track number above 0 stand over the file's own tags.
    std::optional<TrackInfo> tags;
    // The player's picture of the item (file:// or http(s)), before the file's.
    std::string artUrl;
    // The name of the player that plays the item, as the plug-in's "player"
    // field of the item now playing; empty when no player is followed.
    std::wstring player;
};

// TitleFormatting: formatting for a given file; ItemFormatting: for the item
// now playing; LineRead: after a line of a file was read.
enum class StalledService { None, Clock, TitleFormatting, ItemFormatting, LineRead };

struct HostOptions {
    bool withLocalisation = true;
    // When set, the localisation service replaces the plug-in's description
    // with its display-name string formatted with the version.
    bool localiseDescription = true;
    // A start-localisation call that fails, as a broken language pack would.
    bool failLocalisation = false;
    // Message registrations that fail (give 0), as the system's may.
    bool failMessageRegistration = false;
};

class SubstituteHost {
  public:
    static SubstituteHost& Instance();

    // A fresh host state for a profile folder (created when missing): the
    // settings file, the "Logs" parent, the cache folder and library list.
    void OpenProfile(const std::filesystem::path& profile, HostOptions options = {});
    const std::filesystem::path& Profile() const { return profile_; }
    std::filesystem::path CacheFolder() const { return profile_ / "cache"; }

    SettingsStore& Settings();
    WindowSystem& Windows();
    HostThreads& Threads();
    TextObjects& Texts();

    // -- clock: every "now" the plug-in reads comes from here.
    void SetNow(int64_t secondsSinceEpoch);
    void AdvanceClock(int64_t seconds);
    void UseSystemClock();
    int64_t Now() const;

    // -- a player that stalls: while a service is stalled, its calls from
    // threads other than the one that stalled it wait until Unstall().
    void StallService(StalledService service);
    // True once a call waits in the stalled service.
    bool WaitUntilStalled(int timeoutMs = 5000);
    void Unstall();
    // Called by the services on entry.
    void StallPoint(StalledService service);

    // -- the plug-in
    bool LoadPlugin(const std::filesystem::path& library, std::string* error = nullptr);
    PluginDescriptor* Plugin() const { return descriptor_; }
    bool PluginLoaded() const { return library_ != nullptr; }
    int InitPlugin();
    // Runs the main loop until the plug-in's start-up message was delivered.
    bool RunDeferredStartup(int timeoutMs = 5000);
    void ConfigPlugin();
    void QuitPlugin();
    int UninstallPlugin();
    // dlclose; false when the library stayed mapped.
    bool UnloadPlugin();
    void* LibraryHandle() const { return library_; }

    // -- playback
    PlaybackSnapshot Playback() const;
    void SetPlayback(const PlaybackSnapshot& snapshot);
    // The tags of `file`: the file's own (none for streams), under what the
    // player reported when `file` is the current item.
    TrackInfo ItemInfo(const std::wstring& file) const;
    // Notifications as a player posts them to its main window.
    void NotifyNewItem();
    void NotifyStatusChanged();
    void NotifyInfoChanged();

    // -- local library: folders whose files count as in the library
    void SetLibraryFolders(std::vector<std::filesystem::path> folders, bool present = true);
    bool HasLibrary() const;
    bool InLibrary(const std::wstring& file) const;

    // -- web
    // Requests to `hostName` go to `address` ("127.0.0.1:8080") instead.
    void MapHost(const std::string& hostName, const std::string& address);
    std::string MapUrl(const std::string& url) const;
    void SetWebBase(const std::string& base);
    std::string WebBase() const;
    std::wstring WebBaseWide() const;
    // Without libcurl a host gives no request handles.
    void SetWebAvailable(bool available);
    bool WebAvailable() const;

    // -- localisation
    const HostOptions& Options() const { return options_; }
    LocalisationService* Localisation();
    TextService* TextServiceObject();
    ArtworkService* ArtworkServiceObject();

    // The display name the localisation service gave the plug-in.
    const std::wstring& LocalisedDescription() const { return localisedDescription_; }
    void SetLocalisedDescription(std::wstring text) { localisedDescription_ = std::move(text); }

    const HostServices* Table() const;

  private:
    SubstituteHost();
    ~SubstituteHost();
    void ResetWindows();

    std::filesystem::path profile_;
    HostOptions options_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<WindowSystem> windows_;
    std::unique_ptr<HostThreads> threads_;
    std::unique_ptr<TextObjects> texts_;

    mutable Mutex lock_;
    PlaybackSnapshot playback_ GUARDED_BY(lock_);
    std::optional<int64_t> fixedNow_ GUARDED_BY(lock_);
    std::vector<std::filesystem::path> libraryFolders_ GUARDED_BY(lock_);
    bool libraryPresent_ GUARDED_BY(lock_) = false;

    Mutex stallLock_;
    std::condition_variable stallChanged_;
    StalledService stalled_ GUARDED_BY(stallLock_) = StalledService::None;
    std::thread::id stallOwner_ GUARDED_BY(stallLock_);
    int stalledCalls_ GUARDED_BY(stallLock_) = 0;
    std::map<std::string, std::string> hostMap_ GUARDED_BY(lock_);

    std::string webBase_ GUARDED_BY(lock_) = "https://orbit.example/";
    std::wstring webBaseWide_ GUARDED_BY(lock_) = L"https://orbit.example/";
    bool webAvailable_ GUARDED_BY(lock_) = true;
    std::wstring localisedDescription_;

    void* library_ = nullptr;
    PluginDescriptor* descriptor_ = nullptr;
};

}  // namespace kiln::host
