// The DLL's own host for players that offer only the classic general-purpose
// plug-in interface: a seven-field descriptor, the main window's IPC messages
// and nothing else. The adapter serves every operation of host_services.h
// from those messages, Win32 and services/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/descriptor.h"

namespace kiln::classic {

// The descriptor a classic player reads: seven fields, nothing after them.
struct ClassicDescriptor {
    int32_t version;
    const char* description;  // narrow: the only version a classic header defines
    int (*init)();
    void (*config)();
    void (*quit)();
    Window hwndParent;      // filled by the player before init
    Instance hDllInstance;  // filled by the player before init
};

// 0x10 is the only descriptor version the classic headers define.
inline constexpr int32_t kClassicDescriptorVersion = 0x10;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(ClassicDescriptor, description) == 4);
static_assert(offsetof(ClassicDescriptor, quit) == 16);
static_assert(offsetof(ClassicDescriptor, hwndParent) == 20);
static_assert(offsetof(ClassicDescriptor, hDllInstance) == 24);
static_assert(sizeof(ClassicDescriptor) == 28);
#else
static_assert(offsetof(ClassicDescriptor, description) == 8);
static_assert(offsetof(ClassicDescriptor, quit) == 32);
static_assert(offsetof(ClassicDescriptor, hwndParent) == 40);
static_assert(offsetof(ClassicDescriptor, hDllInstance) == 48);
static_assert(sizeof(ClassicDescriptor) == 56);
#endif

// Binds the adapter's service table and hands out the classic descriptor,
// whose routines drive `extended` (the plug-in's own descriptor) after
// copying the player's fields into it.
ClassicDescriptor* BindClassicHost(PluginDescriptor& extended);

// The adapter's table (also bound by BindClassicHost).
const HostServices* ClassicServices();

// Removes the settings section: the uninstall export's work in a classic player.
void RemoveClassicSettings(Instance module, Window parent);

}  // namespace kiln::classic
