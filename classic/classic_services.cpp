// The service table in a classic player, put together from the adapter's
// parts: the player's answers (classic_ipc), settings and paths
// (classic_folders), playback and metadata (classic_playback), web, text,
// threads and resources (classic_runtime), and pages, dialogs and windows
// (classic_windows); whatever every host serves alike comes from services/.
#include "classic/classic_host.h"
#include "classic/classic_internal.h"
#include "services/artwork.h"
#include "services/service_operations.h"

namespace kiln::classic {

void StartServices() {
    StartFolders();
    StartRuntime();
}

void StopServices() {
    // The artwork thread runs the plug-in's callbacks: it ends before the
    // player can unload the code.
    host::DrainArtworkCallbacks();
    ForgetSession();
}

const HostServices* ClassicServices() {
    static const HostServices table = [] {
        HostServices t{};
        host::FillSharedOperations(t);
        FillIpcOperations(t);
        FillFolderOperations(t);
        FillPlaybackOperations(t);
        FillRuntimeOperations(t);
        FillWindowOperations(t);
        return t;
    }();
    return &table;
}

}  // namespace kiln::classic
