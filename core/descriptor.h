// The descriptor the host reads and fills in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/host_services.h"

namespace kiln {

struct PluginDescriptor {
    int32_t version;
    const wchar_t* description;
    int (*init)();
    void (*config)();
    void (*quit)();
    Window hwndParent;
    Instance hDllInstance;
    void* hostField8;
    LocalisationService* localisation;
    void* hostField10;
    TextService* textService;
    ArtworkService* artworkService;
    void* hostFields13to16[4];
    MessageHookProc messageHook;
    void* reserved18;
};

// The layout follows the pointer size: 64-bit players and 32-bit players.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(PluginDescriptor, description) == 4);
static_assert(offsetof(PluginDescriptor, init) == 8);
static_assert(offsetof(PluginDescriptor, quit) == 16);
static_assert(offsetof(PluginDescriptor, hwndParent) == 20);
static_assert(offsetof(PluginDescriptor, hDllInstance) == 24);
static_assert(offsetof(PluginDescriptor, localisation) == 32);
static_assert(offsetof(PluginDescriptor, textService) == 40);
static_assert(offsetof(PluginDescriptor, artworkService) == 44);
static_assert(offsetof(PluginDescriptor, messageHook) == 64);
static_assert(sizeof(PluginDescriptor) == 72);
#else
static_assert(offsetof(PluginDescriptor, version) == 0);
static_assert(offsetof(PluginDescriptor, description) == 8);
static_assert(offsetof(PluginDescriptor, init) == 16);
static_assert(offsetof(PluginDescriptor, config) == 24);
static_assert(offsetof(PluginDescriptor, quit) == 32);
static_assert(offsetof(PluginDescriptor, hwndParent) == 40);
static_assert(offsetof(PluginDescriptor, hDllInstance) == 48);
static_assert(offsetof(PluginDescriptor, localisation) == 64);
static_assert(offsetof(PluginDescriptor, textService) == 80);
static_assert(offsetof(PluginDescriptor, artworkService) == 88);
static_assert(offsetof(PluginDescriptor, messageHook) == 128);
static_assert(offsetof(PluginDescriptor, reserved18) == 136);
static_assert(sizeof(PluginDescriptor) == 144);
#endif

inline constexpr int32_t kDescriptorVersion = 0x12;

}  // namespace kiln

extern "C" {
using GetGeneralPurposePluginFn = kiln::PluginDescriptor* (*)();
using UninstallPluginFn = int (*)();
}
