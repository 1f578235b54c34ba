// A module whose "kiln_resources" section is not a usable directory, built in
// three variants (KILN_DAMAGE): 1 too short, 2 wrong magic, 3 wrong version.
// The host's loader has to refuse each without reading past the section.
#include <cstddef>
#include <cstdint>

#include "resources/resource_directory.h"

namespace {

using kiln::res::ResourceDirectory;

constexpr size_t kWords = KILN_DAMAGE == 1 ? 2 : sizeof(ResourceDirectory) / 4;

[[gnu::section("kiln_resources"),
  gnu::used]] alignas(ResourceDirectory) const uint32_t kSection[kWords] = {
    KILN_DAMAGE == 2 ? 0x4B4C5253u : kiln::res::kResourceDirectoryMagic,
    kiln::res::kResourceDirectoryVersion + (KILN_DAMAGE == 3 ? 1 : 0)};

}  // namespace
