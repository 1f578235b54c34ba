#include "platform/library.h"

#include <windows.h>

namespace kiln::platform {

void* FindProgramSymbol(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), name));
}

void* LoadLibraryByName(const char* name) { return LoadLibraryA(name); }

void* FindLibrarySymbol(void* library, const char* name) {
    return library ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name))
                   : nullptr;
}

}  // namespace kiln::platform
