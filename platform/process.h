// The running process.
#pragma once

#include <cstdint>

namespace kiln::platform {

// Identifier of the running process, as the system reports it to other programs.
int32_t CurrentProcessId();

}  // namespace kiln::platform
