// Pieces of the service table filled by separate files.
#pragma once

#include "core/host_services.h"

namespace kiln::host {

// Pages, menus, boxes and the window system.
void FillWindowOperations(HostServices& table);

}  // namespace kiln::host
