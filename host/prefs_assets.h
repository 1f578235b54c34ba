// The browser preferences window's own files, built into the program.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kiln::host {

struct PrefsAsset {
    std::string_view name;
    const char* type;
    std::span<const uint8_t> bytes;
};

// Null for any name that is not one of the page's files.
const PrefsAsset* FindPrefsAsset(std::string_view name);

}  // namespace kiln::host
