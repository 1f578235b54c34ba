#include "module_host.h"

#include <gtest/gtest.h>

#include "fake_scrobbler.h"
#include "host/settings_store.h"
#include "plugin/descriptor.h"
#include "plugin/host_services.h"

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

void ModuleHost::SetText(const wchar_t* key, const wchar_t* value) {
    host().Settings().WriteText(L"gen_kiln", key, value);
}

void ModuleHost::Reset() {
    std::error_code ignored;
    std::filesystem::remove(CacheFile(), ignored);
    std::filesystem::remove_all(CacheFile().string() + ".backup", ignored);
    host().SetWebAvailable(true);
    const std::string key = FakeScrobbleService::kSessionKey;
    SetText(L"sk", std::wstring(key.begin(), key.end()).c_str());
}

}  // namespace kiln::test
