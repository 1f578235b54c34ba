// The host's artwork service object (descriptor field 12).
#pragma once

#include "plugin/host_services.h"

namespace kiln::host {

ArtworkService* ArtworkServiceInstance();

// Waits until every artwork callback that was queued has run; the host calls
// it before unloading the plug-in, whose code the callbacks enter.
void DrainArtworkCallbacks();

}  // namespace kiln::host
