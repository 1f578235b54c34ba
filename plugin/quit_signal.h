// Quit, as every thread of the plug-in sees it. Quit must return within a
// second with no thread of ours left, so long work looks at this between
// steps and every web transfer is aborted by it.
#pragma once

#include "core/host_services.h"

namespace kiln {

// True from the start of quit until the next init.
bool QuitRequested();
void SetQuitRequested(bool requested);

// Makes a transfer on `handle` (a handle of the host's web-request service)
// end as soon as quit is requested, through libcurl's progress callback.
void AbortTransferOnQuit(const HostServices* host, void* handle);

}  // namespace kiln
