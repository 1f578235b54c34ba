#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "core/win32.h"
#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/preview.h"
#include "plugin/quit_signal.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/subsystems.h"
#include "plugin/timers.h"
#include "plugin/worker.h"
#include "resources/language_guid.h"
#include "resources/resource_ids.h"

namespace kiln {

Instance languageInstance = nullptr;
intptr_t mainPageId = 0;
intptr_t scrobblerPageId = 0;
unsigned frameMessage = static_cast<unsigned>(-1);
// The last play started before this init: a play notice that reached the hook
// before the deferred start-up has a later one.
uint64_t playSerialAtInit = 0;
bool startupPending = false;

namespace {

constexpr unsigned kIpcMessage = contract::kIpcMessage;
constexpr int kMenuAbout = 1;
constexpr int kMenuPreferences = 2;
constexpr int kMenuPauseTracking = 3;
constexpr int kMenuGreyed = win::kMenuGreyed | win::kMenuDisabled;
constexpr int kAboutChars = 2048;
// What quit gives the queued events: the outputs of one event, the settling
// sleep being skipped.
constexpr std::chrono::milliseconds kQuitDrain{750};

LocalisationService* localisation = nullptr;
Instance moduleInstance = nullptr;

int InitEntry() noexcept;
void ConfigEntry() noexcept;
void QuitEntry() noexcept;
void HookEntry(Window w, unsigned m, uintptr_t wp, intptr_t lp) noexcept;

PluginDescriptor descriptor = {kDescriptorVersion,
                               L"orbit(gen_kiln.dll)",
                               &InitEntry,
                               &ConfigEntry,
                               &QuitEntry,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               {},
                               &HookEntry,
                               nullptr};

// Nothing may throw into the host.
int InitEntry() noexcept {
    try {
        return InitPlugin();
    } catch (...) {
        return 0;
    }
}
void ConfigEntry() noexcept {
    try {
        ConfigPlugin();
    } catch (...) {
    }
}
void QuitEntry() noexcept {
    try {
        QuitPlugin();
    } catch (...) {
    }
}
void HookEntry(Window w, unsigned m, uintptr_t wp, intptr_t lp) noexcept {
    try {
        HostMessageHook(w, m, wp, lp);
    } catch (...) {
    }
}

bool pagePositionRemembered = false;
int rememberedPage = 0;

intptr_t PagePosition(Window, int item, int operation, intptr_t value) {
    if (item != -1) {
        return 0;
    }
    if (operation == 0 && value != 0) {
        int page = ReadIntSetting(L"wa_cur_page", 0);
        *reinterpret_cast<int64_t*>(value) = static_cast<int64_t>(page);
        if (!pagePositionRemembered) {
            pagePositionRemembered = true;
            rememberedPage = page;
        }
    } else if (operation == 1) {
        int page = static_cast<int>(value);
        const HostServices* host = Host();
        if (host && pagePositionRemembered && page != rememberedPage) {
            host->writeIntSetting(kSettingsSection, L"wa_cur_page", page);
        }
    }
    return 0;
}

Window CreateTabDialog(int dialogId, Window parent, DialogProc proc, intptr_t param) {
    return CreatePluginDialog(dialogId, parent, proc, param);
}

void ShowAbout(const HostServices* host, Window owner) {
    wchar_t* text = host->loadResourceText(moduleInstance, IDR_ABOUT_TEXT);
    wchar_t about[kAboutChars] = L"";
    if (text) {
        FormatWide(about, kAboutChars, text,
                   {host->aboutCredit(), host->aboutYear(), kBuildDateText});
        host->freeResourceText(text);
    }
    host->showAboutBox(owner, about, descriptor.description);
}

}  // namespace

void PostFrameMessage(uintptr_t wParam) {
    if (frameMessage != static_cast<unsigned>(-1)) {
        platform::PostToWindow(descriptor.hwndParent, kIpcMessage, wParam,
                               static_cast<intptr_t>(frameMessage));
    }
}

PluginDescriptor& Descriptor() {
    return descriptor;
}
Window HostWindow() {
    return descriptor.hwndParent;
}

const wchar_t* LocalString(int id) {
    const wchar_t* text = nullptr;
    if (localisation) {
        text = localisation->loadString(localisation, languageInstance, id);
    } else if (const HostServices* host = Host()) {
        text = host->loadModuleString(languageInstance, id);
    }
    return text ? text : L"";
}

Window CreatePluginDialog(int dialogId, Window parent, DialogProc proc, intptr_t param) {
    if (localisation) {
        return localisation->createDialog(localisation, languageInstance, moduleInstance, dialogId,
                                          parent, proc, param);
    }
    const HostServices* host = Host();
    return host ? host->createModuleDialog(languageInstance, dialogId, parent, proc, param)
                : nullptr;
}

int InitPlugin() {
    const HostServices* host = Host();
    if (!host) {
        return 0;  // no host table: stay inert
    }
    SetQuitRequested(false);
    playSerialAtInit = CurrentPlaySerial();
    hookOpen.store(true);
    localisation = descriptor.localisation;
    moduleInstance = descriptor.hDllInstance;
    // A plug-in started again after quit, without unloading, may send again.
    FrameSubsystems().reopenPresence();
    if (localisation) {
        languageInstance =
            localisation->startLocalisation(localisation, moduleInstance, &res::kLanguageGuid, 1,
                                            kVersionText, &descriptor.description);
    } else {
        languageInstance = moduleInstance;
    }
    NoteMainThread();
    frameMessage = host->registerMessage("kiln_log_ipc");
    startupPending = true;
    PostFrameMessage(0);
    return 0;
}

void OnDeferredStartup() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const Subsystems& subsystems = FrameSubsystems();
    const PrefsTab* outputTabs = subsystems.outputTabs;
    mainPageId =
        host->addPrefsPage(languageInstance, 257, LocalString(IDS_PLAY_TRACKING), outputTabs, 4, -1,
                           &PagePosition, &CreateTabDialog, 1, localisation, 7, 76);
    const int tabNames[4] = {IDS_HISTORY_TAB, IDS_NOW_PLAYING_TAB, IDS_ARTWORK_TAB, IDS_POST_TAB};
    for (int i = 0; i < 4; ++i) {
        host->setTabName(mainPageId, i, LocalString(tabNames[i]));
    }
    host->finaliseTabs(mainPageId, 1);

    static PrefsTab presenceTab[1] = {{IDD_PRESENCE, nullptr}};
    presenceTab[0].proc = subsystems.presencePage;
    host->addPrefsPage(languageInstance, IDD_PRESENCE, LocalString(IDS_DISCORD), presenceTab, 1, -1,
                       &PagePosition, nullptr, 1, localisation, 7, 77);

    static PrefsTab scrobblerTab[1] = {{IDD_SCROBBLER_SETUP, nullptr}};
    int scrobblerDialog =
        subsystems.hasSessionKey() ? IDD_SCROBBLER_AUTHORISED : IDD_SCROBBLER_SETUP;
    scrobblerTab[0] = {scrobblerDialog, subsystems.scrobblerPage};
    scrobblerPageId =
        host->addPrefsPage(languageInstance, scrobblerDialog, LocalString(IDS_SCROBBLER),
                           scrobblerTab, 1, -1, &PagePosition, nullptr, 1, localisation, 7, 79);
    // A page of its own rather than a tab of the scrobbler page, whose
    // dialog is replaced as the account is authorised or revoked.
    static PrefsTab queueTab[1] = {{IDD_SCROBBLE_QUEUE, nullptr}};
    queueTab[0].proc = subsystems.scrobbleQueuePage;
    host->addPrefsPage(languageInstance, IDD_SCROBBLE_QUEUE, LocalString(IDS_SCROBBLE_QUEUE),
                       queueTab, 1, -1, &PagePosition, nullptr, 1, localisation, 7, 80);

    // The page code is the dialog's own number, which no other page uses.
    static PrefsTab rulesTab[1] = {{IDD_RULES, nullptr}};
    rulesTab[0].proc = subsystems.rulesPage;
    host->addPrefsPage(languageInstance, IDD_RULES, LocalString(IDS_RULES), rulesTab, 1, -1,
                       &PagePosition, nullptr, 1, localisation, 7, IDD_RULES);

    LoadSettings();

    if (host->playbackStatus() != 0) {
        // A player opened with a file may have announced it before this
        // message came back; that play has started already.
        const PlayIdentity play = CurrentPlay();
        wchar_t file[kLocationChars] = L"";
        host->currentFile(file, kLocationChars);
        if (play.serial <= playSerialAtInit || play.file != file) {
            OnNewItem();
        }
    } else if (updateDiscord.load() != 0 && autoDisableDiscord.load() == 0) {
        SignalWorker(WorkerEvent::PresenceRefresh);
    }
}

namespace {

// The open pages that carry the notice. Pages and the menu live on the main
// thread; the lock keeps a "tracking on|off" from anywhere else safe.
Mutex noticeLock;
std::vector<Window> noticePages GUARDED_BY(noticeLock);

void ShowNotice(Window page) {
    const bool paused = privateMode.load() != 0;
    platform::ShowControl(page, IDC_PAUSED_NOTICE, paused);
    platform::ShowControl(page, IDC_PAUSED_RESUME, paused);
}

}  // namespace

void ShowTrackingPaused(Window page) {
    {
        MutexLock lock(noticeLock);
        if (std::find(noticePages.begin(), noticePages.end(), page) == noticePages.end()) {
            noticePages.push_back(page);
        }
    }
    ShowNotice(page);
}

void ForgetTrackingPaused(Window page) {
    MutexLock lock(noticeLock);
    std::erase(noticePages, page);
}

bool TrackingPausedCommand(Window, int id, unsigned notification) {
    if (id != IDC_PAUSED_RESUME || notification != platform::kNotifyClicked) {
        return false;
    }
    SetPrivateMode(false);
    return true;
}

void SetPrivateMode(bool on) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    privateMode.store(on ? 1 : 0);
    host->writeIntSetting(kSettingsSection, L"private_mode", on ? 1 : 0);
    std::vector<Window> pages;
    {
        MutexLock lock(noticeLock);
        pages = noticePages;
    }
    for (Window page : pages) {
        ShowNotice(page);
    }
    if (on) {
        // The play under way is tracked no further: no scrobble, and the
        // presence goes.
        StopScrobbleTimer();
        SignalWorker(WorkerEvent::PresenceRefresh);
    }
}

void ConfigPlugin() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    Menu menu = host->createPopupMenu();
    if (!menu) {
        return;
    }
    host->addMenuItem(menu, 0, nullptr, -1, 0);
    host->addMenuItem(menu, kMenuPreferences, LocalString(IDS_GOTO_OPTIONS), -1, 0);
    LoadSettings();
    host->addMenuItem(menu, kMenuPauseTracking, LocalString(IDS_PAUSE_TRACKING), -1,
                      privateMode.load() != 0 ? win::kMenuChecked : 0);
    host->addMenuItem(menu, 0, nullptr, -1, 0);
    host->addMenuItem(menu, kMenuAbout, LocalString(IDS_ABOUT), -1, 0);
    // The title shows the description as the localisation service left it.
    host->addMenuItem(menu, 0, descriptor.description, 0, kMenuGreyed);

    Window owner = nullptr;
    int x = 0;
    int y = 0;
    host->menuPosition(&owner, &x, &y);
    int choice = host->trackPopupMenu(menu, owner, x, y);
    if (choice == kMenuAbout) {
        ShowAbout(host, owner);
    } else if (choice == kMenuPreferences) {
        host->openPreferences(mainPageId, -1);
    } else if (choice == kMenuPauseTracking) {
        SetPrivateMode(privateMode.load() == 0);
    }
    host->destroyMenu(menu);
}

void QuitPlugin() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    // Quit drains, then marks: the events already queued reach every output
    // (history line, stop request) before the stop marker, within a bound;
    // then whatever still runs is cut short.
    hookOpen.store(false);
    const auto drainEnd = std::chrono::steady_clock::now() + kQuitDrain;
    const Subsystems& subsystems = FrameSubsystems();
    if (DrainWorkerForQuit(static_cast<int>(kQuitDrain.count()))) {
        subsystems.awaitPostRequestsUntil(drainEnd);
    }
    if (scrobblerLogOn.load() != 0) {
        subsystems.scrobblerLogQuit();
    }
    subsystems.writeHistoryMarker(true);
    SetQuitRequested(true);
    host->removePrefsPage(mainPageId);
    subsystems.shutdownPresenceForQuit();
    StopPreviewThreadForQuit();
    subsystems.stopPostThreadForQuit();
    StopWorkerForQuit();
    subsystems.stopOlderPostThreadsForQuit();
    // Their routines live in this library, which the host may unload next.
    scrobbleTimerSet.store(false);
    CancelAllTimers();
}

}  // namespace kiln
