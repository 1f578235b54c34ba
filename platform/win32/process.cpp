#include "platform/process.h"

#include <windows.h>

namespace kiln::platform {

int32_t CurrentProcessId() {
    return static_cast<int32_t>(GetCurrentProcessId());
}

uint64_t CurrentThreadId() {
    return static_cast<uint64_t>(GetCurrentThreadId());
}

}  // namespace kiln::platform
