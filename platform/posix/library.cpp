#include "platform/library.h"

#include <dlfcn.h>

namespace kiln::platform {

void* FindProgramSymbol(const char* name) {
    return dlsym(RTLD_DEFAULT, name);
}

void* LoadLibraryByName(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* FindLibrarySymbol(void* library, const char* name) {
    return library ? dlsym(library, name) : nullptr;
}

const char* const* CurlLibraryNames() {
    static const char* const names[] = {"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl.so",
                                        nullptr};
    return names;
}

}  // namespace kiln::platform
