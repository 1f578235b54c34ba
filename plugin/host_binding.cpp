#include "core/host_services.h"
#include "platform/library.h"
#include "plugin/plugin.h"

namespace kiln {

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
    // A table shorter than the first published one lacks operations we call;
    // refuse it rather than read past its end. Appended ones are checked by size.
    if (!table || table->version < kHostServicesVersion || table->size < kHostServicesFirstSize) {
        return false;
    }
    BindServices(table);
    return true;
}

}  // namespace kiln
