// The plug-in's two exported entry points. This is where the host is chosen:
// a host program that exports our service table is bound to it; any other
// player (Windows only) is served by the DLL's own classic-host adapter.
#include "core/host_services.h"
#include "platform/export.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#if defined(_WIN32)
#include "classic/classic_host.h"
#endif

extern "C" {

// Decides once which host this is: one that exports our service table gets
// the extended descriptor; any other player the classic one, served by the
// DLL's own adapter.
KILN_EXPORT kiln::PluginDescriptor* winampGetGeneralPurposePlugin() {
#if defined(_WIN32)
    if (kiln::Host() == kiln::classic::ClassicServices() || !kiln::BindHostServices()) {
        return reinterpret_cast<kiln::PluginDescriptor*>(
            kiln::classic::BindClassicHost(kiln::Descriptor()));
    }
#else
    kiln::BindHostServices();
#endif
    return &kiln::Descriptor();
}

// A classic player passes the module, its preference window and a flag; the
// extended host passes nothing and none of them is read then. 0 asks for
// removal at the next start: the plug-in has subclassed the main window.
KILN_EXPORT int winampUninstallPlugin(void* instance, void* parent, int) {
    try {
#if defined(_WIN32)
        if (kiln::Host() == kiln::classic::ClassicServices() || !kiln::BindHostServices()) {
            kiln::classic::RemoveClassicSettings(instance, parent);
            return 0;
        }
#else
        (void)instance;
        (void)parent;
        kiln::BindHostServices();
#endif
        if (const kiln::HostServices* host = kiln::Host()) {
            host->writeTextSetting(kiln::kSettingsSection, nullptr, nullptr);
        }
    } catch (...) {
    }
    return 0;
}

}  // extern "C"
