// The substitute host's resource loader: finds the resources a loaded module
// carries (resources/resource_directory.h) from its dlopen handle alone, as a
// Windows loader finds a DLL's resources from its module handle.
#pragma once

#include <cstdint>
#include <span>

#include "resources/resource_directory.h"

namespace kiln::host {

// The module's resource directory, or null when the module has none (or a
// damaged one). `dlopenHandle` is a handle from dlopen, dlopen(nullptr, ...)
// for the program itself. Thread-safe; the file is read once per module.
const res::ResourceDirectory* FindModuleResources(void* dlopenHandle);

// String `id` of the module's string table; null when absent.
const wchar_t* ModuleString(void* dlopenHandle, int id);

// Dialog template `id`; null when absent.
const res::DialogEntry* ModuleDialog(void* dlopenHandle, int id);

// Text resource `id` as stored: gzip-compressed UTF-16 with a byte-order mark
// (DecompressUtf16Text, host/gzip_text.h, reads it). Empty when absent.
std::span<const uint8_t> ModuleBlob(void* dlopenHandle, int id);

}  // namespace kiln::host
