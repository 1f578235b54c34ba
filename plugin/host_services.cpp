#include "plugin/host_services.h"

#include <atomic>

#include "platform/library.h"

namespace kiln {
namespace {
std::atomic<const HostServices*> boundHost{nullptr};
}

const HostServices* Host() {
    return boundHost.load(std::memory_order_acquire);
}

bool BindHostServices() {
    if (Host()) {
        return true;
    }
    auto exported =
        reinterpret_cast<HostServicesExport>(platform::FindProgramSymbol(kHostServicesExport));
    if (!exported) {
        return false;
    }
    const HostServices* table = exported(kHostServicesVersion);
    // A table older than ours lacks operations we call; refuse it rather than
    // read past its end.
    if (!table || table->version < kHostServicesVersion || table->size < sizeof(HostServices)) {
        return false;
    }
    boundHost.store(table, std::memory_order_release);
    return true;
}

void BindServices(const HostServices* table) {
    boundHost.store(table, std::memory_order_release);
}

}  // namespace kiln
