#include "platform/process.h"

#include <windows.h>

namespace kiln::platform {

int32_t CurrentProcessId() {
    return static_cast<int32_t>(GetCurrentProcessId());
}

}  // namespace kiln::platform
