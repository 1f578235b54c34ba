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
    // A table older than ours lacks operations we call; refuse it rather than
    // read past its end.
    if (!table || table->version < kHostServicesVersion || table->size < sizeof(HostServices)) {
        return false;
    }
    BindServices(table);
    return true;
}

}  // namespace kiln
