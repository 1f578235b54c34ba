// What the frame asks of the subsystems beside it (outputs, scrobbler,
// presence). The frame never includes them: it calls them through this one
// table, which the exports file, above every layer, fills.
#pragma once

#include <chrono>

#include "core/host_services.h"

namespace kiln {

struct Subsystems {
    // -- start-up: the preference pages
    PrefsTab outputTabs[4];   // history, now playing, artwork, POST
    DialogProc presencePage;  // dialog 106
    DialogProc scrobblerPage;
    DialogProc rulesPage;          // dialog 107
    DialogProc scrobbleQueuePage;  // dialog 108
    bool (*hasSessionKey)();       // picks the scrobbler page's dialog
    // -- settings loaded, on the main thread: the start marker, the paths
    void (*settingsLoaded)();
    // -- the worker's steps
    void (*appendHistoryLine)();
    // The portable scrobbler log: a start ends the previous play's entry and
    // notes this one's; a stop ends the stopped play's, quit the current one's.
    void (*scrobblerLogPlayStarted)();
    void (*scrobblerLogPlayStopped)();
    void (*scrobblerLogQuit)();
    void (*writeNowPlayingFiles)();
    void (*refreshPresence)();
    void (*prefetchPresenceCover)();          // at a start, before the settling sleep
    void (*startPostRequest)(int eventCode);  // 0 play, 1 pause, 2 unpause, 3 stop
    void (*scrobbleOnPlayStarted)();
    // Scrobbling on, the play kept from Last.fm: `reason` as in plugin/rules.h.
    void (*scrobbleExcluded)(int reason);
    void (*scrobbleOnUnpaused)();
    void (*submitToScrobbler)(bool submission);
    void (*cacheDuePlays)();  // a quit ends the worker: due plays go to the cache
    // -- init and quit
    void (*reopenPresence)();
    void (*writeHistoryMarker)(bool stop);
    void (*awaitPostRequestsUntil)(std::chrono::steady_clock::time_point deadline);
    void (*shutdownPresenceForQuit)();
    void (*stopPostThreadForQuit)();
    void (*stopOlderPostThreadsForQuit)();
};

// Defined by the exports file.
const Subsystems& FrameSubsystems();

}  // namespace kiln
