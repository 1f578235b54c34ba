#include "platform/process.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kiln::platform {

int32_t CurrentProcessId() {
    return static_cast<int32_t>(getpid());
}

uint64_t CurrentThreadId() {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

}  // namespace kiln::platform
