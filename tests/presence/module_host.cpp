#include "module_host.h"

#include <gtest/gtest.h>

#include "plugin/descriptor.h"
#include "plugin/host_services.h"
#include "plugin/settings.h"

extern "C" kiln::PluginDescriptor* winampGetGeneralPurposePlugin();

namespace kiln::test {

PresenceModuleHost& PresenceModuleHost::Get() {
    static PresenceModuleHost instance;
    return instance;
}

PresenceModuleHost::PresenceModuleHost() {
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
    // Loaded once, so that a later load (the worker's) keeps what the tests set.
    host().Settings().WriteInt(L"gen_kiln", L"updatediscord", 1);
    LoadSettings();
}

}  // namespace kiln::test
