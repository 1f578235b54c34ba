#include "host/substitute_host.h"

#include <dlfcn.h>

#include <chrono>
#include <fstream>

#include "core/host_contract.h"
#include "host/host_threads.h"
#include "host/module_resources.h"
#include "host/window_system.h"
#include "services/artwork.h"
#include "services/paths.h"
#include "services/settings_store.h"
#include "services/text_services.h"
#include "services/track_info.h"
#include "services/web_requests.h"

namespace kiln::host {

SubstituteHost& SubstituteHost::Instance() {
    // Never destroyed: plug-in threads may still ask for services while the
    // program exits.
    static SubstituteHost* host = new SubstituteHost;
    return *host;
}

SubstituteHost::SubstituteHost()
    : threads_(std::make_unique<HostThreads>()), texts_(std::make_unique<TextObjects>()) {
    ResetWindows();
    SetCurrentItemSource([this] { return Playback().file; });
    SetCurrentArtSource([this] { return Playback().artUrl; });
    SetWebRouting({[this] { return WebAvailable(); },
                   [this](const std::string& url) { return MapUrl(url); }});
}

void SubstituteHost::ResetWindows() {
    windows_ = std::make_unique<WindowSystem>();
    // Single pages are made from the plug-in's own dialog resources.
    windows_->SetTemplateFinder(
        [](kiln::Instance instance, int dialogId) { return ModuleDialog(instance, dialogId); });
}

SubstituteHost::~SubstituteHost() = default;

void SubstituteHost::OpenProfile(const std::filesystem::path& profile, HostOptions options) {
    std::error_code ignored;
    std::filesystem::create_directories(profile, ignored);
    std::filesystem::create_directories(profile / "cache", ignored);
    profile_ = profile;
    options_ = options;
    // A new profile is a new session of the player: no pages, menus or boxes
    // of an earlier one.
    if (!library_) {
        ResetWindows();
    }
    settings_ = std::make_unique<SettingsStore>(profile / "settings.ini");
    localisedDescription_.clear();
    MutexLock guard(lock_);
    playback_ = {};
    libraryFolders_.clear();
    libraryPresent_ = false;
    hostMap_.clear();
}

SettingsStore& SubstituteHost::Settings() {
    if (!settings_) {
        settings_ = std::make_unique<SettingsStore>(std::filesystem::temp_directory_path() /
                                                    "kiln-host-unset-profile.ini");
    }
    return *settings_;
}

WindowSystem& SubstituteHost::Windows() {
    return *windows_;
}
HostThreads& SubstituteHost::Threads() {
    return *threads_;
}
TextObjects& SubstituteHost::Texts() {
    return *texts_;
}

void SubstituteHost::SetNow(int64_t secondsSinceEpoch) {
    MutexLock guard(lock_);
    fixedNow_ = secondsSinceEpoch;
}

void SubstituteHost::AdvanceClock(int64_t seconds) {
    MutexLock guard(lock_);
    if (fixedNow_) {
        *fixedNow_ += seconds;
    }
}

void SubstituteHost::UseSystemClock() {
    MutexLock guard(lock_);
    fixedNow_.reset();
}

int64_t SubstituteHost::Now() const {
    MutexLock guard(lock_);
    if (fixedNow_) {
        return *fixedNow_;
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool SubstituteHost::LoadPlugin(const std::filesystem::path& library, std::string* error) {
    if (library_) {
        UnloadPlugin();
    }
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) {
            const char* text = dlerror();
            *error = text ? text : "cannot load the library";
        }
        return false;
    }
    auto get =
        reinterpret_cast<GetGeneralPurposePluginFn>(dlsym(handle, "winampGetGeneralPurposePlugin"));
    PluginDescriptor* descriptor = get ? get() : nullptr;
    if (!descriptor || descriptor->version != kDescriptorVersion) {
        if (error) {
            *error =
                descriptor ? "unsupported descriptor version" : "not a general-purpose plug-in";
        }
        dlclose(handle);
        return false;
    }
    library_ = handle;
    descriptor_ = descriptor;
    descriptor->hwndParent = windows_->MainWindow();
    descriptor->hDllInstance = handle;
    descriptor->localisation = options_.withLocalisation ? Localisation() : nullptr;
    descriptor->textService = TextServiceObject();
    descriptor->artworkService = ArtworkServiceObject();
    windows_->SetMessageHook(descriptor->messageHook);
    return true;
}

int SubstituteHost::InitPlugin() {
    return descriptor_ ? descriptor_->init() : -1;
}

bool SubstituteHost::RunDeferredStartup(int timeoutMs) {
    // The start-up message was posted by init; it is the only thing in the
    // queue the first time, so delivering what is pending runs it.
    windows_->RunFor(std::chrono::milliseconds(0));
    (void)timeoutMs;
    return descriptor_ != nullptr;
}

void SubstituteHost::ConfigPlugin() {
    if (descriptor_) {
        descriptor_->config();
    }
}

void SubstituteHost::QuitPlugin() {
    if (descriptor_) {
        descriptor_->quit();
    }
}

int SubstituteHost::UninstallPlugin() {
    if (!library_) {
        return -1;
    }
    auto uninstall = reinterpret_cast<UninstallPluginFn>(dlsym(library_, "winampUninstallPlugin"));
    return uninstall ? uninstall() : -1;
}

bool SubstituteHost::UnloadPlugin() {
    if (!library_) {
        return true;
    }
    windows_->SetMessageHook(nullptr);
    windows_->ClosePreferences();
    // Callbacks still queued would enter code that is about to go away.
    DrainArtworkCallbacks();
    void* handle = library_;
    library_ = nullptr;
    descriptor_ = nullptr;
    dlclose(handle);
    // RTLD_NOLOAD tells whether the library is still mapped.
    return true;
}

PlaybackSnapshot SubstituteHost::Playback() const {
    MutexLock guard(lock_);
    return playback_;
}

void SubstituteHost::SetPlayback(const PlaybackSnapshot& snapshot) {
    MutexLock guard(lock_);
    playback_ = snapshot;
}

TrackInfo SubstituteHost::ItemInfo(const std::wstring& file) const {
    TrackInfo info = file.empty() ? TrackInfo{} : ReadTrackInfo(file);
    PlaybackSnapshot now = Playback();
    if (!now.tags || file.empty() || file != now.file) {
        return info;
    }
    for (auto field : {&TrackInfo::title, &TrackInfo::artist, &TrackInfo::album,
                       &TrackInfo::albumArtist, &TrackInfo::genre}) {
        if (!((*now.tags).*field).empty()) {
            info.*field = (*now.tags).*field;
        }
    }
    if (now.tags->trackNumber > 0) {
        info.trackNumber = now.tags->trackNumber;
    }
    if (now.lengthSeconds > 0) {
        info.lengthSeconds = now.lengthSeconds;
    }
    info.found = true;
    return info;
}

void SubstituteHost::NotifyNewItem() {
    windows_->PostMessage(windows_->MainWindow(), contract::kIpcMessage, 0, contract::kNewItem);
}

void SubstituteHost::NotifyStatusChanged() {
    windows_->PostMessage(windows_->MainWindow(), contract::kIpcMessage, contract::kStatusChanged,
                          contract::kPlaybackNotice);
}

void SubstituteHost::NotifyInfoChanged() {
    windows_->PostMessage(windows_->MainWindow(), contract::kIpcMessage, contract::kInfoChanged,
                          contract::kPlaybackNotice);
}

void SubstituteHost::SetLibraryFolders(std::vector<std::filesystem::path> folders, bool present) {
    MutexLock guard(lock_);
    libraryFolders_ = std::move(folders);
    libraryPresent_ = present;
}

bool SubstituteHost::HasLibrary() const {
    MutexLock guard(lock_);
    return libraryPresent_;
}

bool SubstituteHost::InLibrary(const std::wstring& file) const {
    if (IsStreamLocation(file)) {
        return false;
    }
    std::filesystem::path path = std::filesystem::weakly_canonical(ToFsPath(file));
    MutexLock guard(lock_);
    for (const auto& folder : libraryFolders_) {
        std::filesystem::path base = std::filesystem::weakly_canonical(folder);
        auto [end, ignored] = std::mismatch(base.begin(), base.end(), path.begin(), path.end());
        (void)ignored;
        if (end == base.end() && std::filesystem::is_regular_file(path)) {
            return true;
        }
    }
    return false;
}

void SubstituteHost::MapHost(const std::string& hostName, const std::string& address) {
    MutexLock guard(lock_);
    hostMap_[hostName] = address;
}

std::string SubstituteHost::MapUrl(const std::string& url) const {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    size_t hostStart = scheme + 3;
    size_t hostEnd = url.find_first_of(":/?#", hostStart);
    std::string name = url.substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    MutexLock guard(lock_);
    auto found = hostMap_.find(name);
    if (found == hostMap_.end()) {
        return url;
    }
    // The mapping names scheme, host and port: "http://127.0.0.1:8080".
    size_t rest = url.find_first_of("/?#", hostStart);
    return found->second + (rest == std::string::npos ? "" : url.substr(rest));
}

void SubstituteHost::SetWebAvailable(bool available) {
    MutexLock guard(lock_);
    webAvailable_ = available;
}

bool SubstituteHost::WebAvailable() const {
    MutexLock guard(lock_);
    return webAvailable_;
}

std::string SubstituteHost::WebBase() const {
    MutexLock guard(lock_);
    return webBase_;
}

std::wstring SubstituteHost::WebBaseWide() const {
    MutexLock guard(lock_);
    return webBaseWide_;
}

void SubstituteHost::SetWebBase(const std::string& base) {
    MutexLock guard(lock_);
    webBase_ = base;
    webBaseWide_ = Utf8ToWide(base);
}

void SubstituteHost::StallService(StalledService service) {
    MutexLock lock(stallLock_);
    stalled_ = service;
    stallOwner_ = std::this_thread::get_id();
    stalledCalls_ = 0;
}

bool SubstituteHost::WaitUntilStalled(int timeoutMs) {
    MutexLock lock(stallLock_);
    return stallChanged_.wait_for(lock.native(), std::chrono::milliseconds(timeoutMs),
                                  [this]() REQUIRES(stallLock_) { return stalledCalls_ > 0; });
}

void SubstituteHost::Unstall() {
    {
        MutexLock lock(stallLock_);
        stalled_ = StalledService::None;
    }
    stallChanged_.notify_all();
}

void SubstituteHost::StallPoint(StalledService service) {
    MutexLock lock(stallLock_);
    if (stalled_ != service || std::this_thread::get_id() == stallOwner_) {
        return;
    }
    ++stalledCalls_;
    stallChanged_.notify_all();
    stallChanged_.wait(lock.native(),
                       [this, service]() REQUIRES(stallLock_) { return stalled_ != service; });
}

}  // namespace kiln::host
