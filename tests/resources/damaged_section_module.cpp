// A module whose "kiln_resources" section is not a usable directory, built in
// three variants (KILN_DAMAGE): too short, wrong magic, wrong version. The
// host's loader has to refuse each without reading past the section.
#include <cstdint>

#include "resources/resource_directory.h"

namespace {

#if KILN_DAMAGE == 1
// The right magic and version, but only half of a directory.
__attribute__((section("kiln_resources"), used)) const uint32_t kSection[2] = {
    kiln::res::kResourceDirectoryMagic, kiln::res::kResourceDirectoryVersion};
#elif KILN_DAMAGE == 2
__attribute__((section("kiln_resources"), used)) const kiln::res::ResourceDirectory kSection = {
    0x4B4C5253u, kiln::res::kResourceDirectoryVersion, nullptr, 0, nullptr, 0, nullptr, 0};
#elif KILN_DAMAGE == 3
__attribute__((section("kiln_resources"), used))
const kiln::res::ResourceDirectory kSection = {kiln::res::kResourceDirectoryMagic,
                                               kiln::res::kResourceDirectoryVersion + 1,
                                               nullptr,
                                               0,
                                               nullptr,
                                               0,
                                               nullptr,
                                               0};
#else
#error "KILN_DAMAGE must be 1, 2 or 3"
#endif

}  // namespace
