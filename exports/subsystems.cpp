// The frame's table of the subsystems: the one place that wires them in.
#include "plugin/subsystems.h"

#include "outputs/history.h"
#include "outputs/now_playing.h"
#include "outputs/pages.h"
#include "outputs/post_request.h"
#include "outputs/rules_page.h"
#include "outputs/scrobbler_log.h"
#include "plugin/settings.h"
#include "presence/presence.h"
#include "presence/presence_page.h"
#include "resources/resource_ids.h"
#include "scrobbler/authorisation.h"
#include "scrobbler/queue_page.h"
#include "scrobbler/scrobbler_page.h"
#include "scrobbler/worker_steps.h"

namespace kiln {
namespace {

void SettingsLoaded() {
    // The instance started first owns the profile's scrobble cache.
    if ((scrobbleFlags.load() & kScrobbleOn) != 0) {
        ClaimScrobbleCache();
    }
    WriteHistoryMarker(false);
    if (nowLoggingOn.load() != 0) {
        ComputeNowPlayingPaths();
    }
}

const Subsystems subsystems = {
    {
        {IDD_HISTORY, &HistoryPageProc},
        {IDD_NOW_PLAYING, &NowPlayingPageProc},
        {IDD_ARTWORK, &ArtworkPageProc},
        {IDD_POST, &PostPageProc},
    },
    &PresencePageProc,
    &ScrobblerPageProc,
    &RulesPageProc,
    &ScrobbleQueuePageProc,
    &HasSessionKey,
    &SettingsLoaded,
    &AppendHistoryLine,
    &ScrobblerLogPlayStarted,
    &ScrobblerLogPlayStopped,
    &ScrobblerLogQuit,
    &WriteNowPlayingFiles,
    [] { RefreshDiscordPresence(nullptr); },
    &PrefetchPresenceCover,
    &StartPostRequest,
    &ScrobbleOnPlayStarted,
    &ScrobbleExcluded,
    &ScrobbleOnUnpaused,
    &SubmitToScrobbler,
    &CacheDuePlays,
    &ReopenPresence,
    &WriteHistoryMarker,
    &AwaitPostRequestsUntil,
    &ShutdownPresenceForQuit,
    &StopPostThreadForQuit,
    &StopOlderPostThreadsForQuit,
};

}  // namespace

const Subsystems& FrameSubsystems() {
    return subsystems;
}

}  // namespace kiln
