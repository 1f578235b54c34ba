#include "platform/library.h"

#include <windows.h>

namespace kiln::platform {

void* FindProgramSymbol(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), name));
}

void* LoadLibraryByName(const char* name) {
    return LoadLibraryA(name);
}

void* FindLibrarySymbol(void* library, const char* name) {
    return library ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name))
                   : nullptr;
}

const char* const* CurlLibraryNames() {
    static const char* const names[] = {"libcurl.dll", "libcurl-4.dll", "libcurl-x64.dll", nullptr};
    return names;
}

}  // namespace kiln::platform
