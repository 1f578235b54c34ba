// The running process.
#pragma once

#include <cstdint>

namespace kiln::platform {

// Identifier of the running process, as the system reports it to other programs.
int32_t CurrentProcessId();

// Identifier of the calling thread, unique among the process's live threads.
uint64_t CurrentThreadId();

}  // namespace kiln::platform
