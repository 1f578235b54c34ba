#include "core/host_services.h"

#include <atomic>

namespace kiln {
namespace {
std::atomic<const HostServices*> boundHost{nullptr};
}

const HostServices* Host() {
    return boundHost.load(std::memory_order_acquire);
}

void BindServices(const HostServices* table) {
    boundHost.store(table, std::memory_order_release);
}

}  // namespace kiln
