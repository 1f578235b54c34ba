#include "platform/process.h"

#include <unistd.h>

namespace kiln::platform {

int32_t CurrentProcessId() {
    return static_cast<int32_t>(getpid());
}

}  // namespace kiln::platform
