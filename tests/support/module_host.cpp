#include "support/module_host.h"

#include <gtest/gtest.h>

#include "core/descriptor.h"
#include "core/host_services.h"

extern "C" kiln::PluginDescriptor* winampGetGeneralPurposePlugin();

namespace kiln::test {

ModuleHost& ModuleHost::Get() {
    static ModuleHost instance;
    return instance;
}

ModuleHost::ModuleHost() {
    host().UseSystemClock();
    host().OpenProfile(profile_.path());
    // What the host does with a loaded plug-in's descriptor.
    PluginDescriptor* descriptor = winampGetGeneralPurposePlugin();
    if (!Host() || !descriptor) {
        ADD_FAILURE() << "the plug-in's objects found no host";
        return;
    }
    descriptor->hwndParent = host().Windows().MainWindow();
    descriptor->textService = host().TextServiceObject();
    descriptor->artworkService = host().ArtworkServiceObject();
}

}  // namespace kiln::test
