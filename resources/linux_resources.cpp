// The Linux build's resources, made from the same sources as gen_kiln.rc.
// One ResourceDirectory goes into the ELF section "kiln_resources"; it has no
// symbol, so gen_kiln.so exports nothing but its two entry points, and the host
// finds the section through the module's file (host/module_resources.cpp).
#include <cstdint>
#include <iterator>

#include "resources/resource_directory.h"
#include "resources/resource_ids.h"
#include "resources/styles.h"

namespace kiln::res {
namespace {

// L"" text: the UTF-8 source text becomes a wide literal.
#define KILN_STRING(id, text) {id, L"" text},
constexpr StringEntry kStrings[] = {
#include "resources/strings.inc"
};
#undef KILN_STRING

// First pass over the dialogs: one control table per dialog.
#define KILN_DIALOG_BEGIN(id, width, height) constexpr ControlEntry kControls##id[] = {
#define KILN_CONTROL(id, className, text, style, x, y, width, height) \
    {id, className, L"" text, static_cast<uint32_t>(style), x, y, width, height},
#define KILN_DIALOG_END() \
    }                     \
    ;
#include "resources/dialogs.inc"
#undef KILN_DIALOG_BEGIN
#undef KILN_CONTROL
#undef KILN_DIALOG_END

// Second pass: the dialog table.
#define KILN_DIALOG_BEGIN(id, width, height) \
    {id, width, height, kControls##id, static_cast<int>(std::size(kControls##id))},
#define KILN_CONTROL(id, className, text, style, x, y, width, height)
#define KILN_DIALOG_END()
constexpr DialogEntry kDialogs[] = {
#include "resources/dialogs.inc"
};
#undef KILN_DIALOG_BEGIN
#undef KILN_CONTROL
#undef KILN_DIALOG_END

// Generated at build time from resources/texts (see resources/CMakeLists.txt).
constexpr uint8_t kAboutText[] = {
#include "resources/texts/about.gz.inc"
};
constexpr uint8_t kPresenceIntro[] = {
#include "resources/texts/presence_intro.gz.inc"
};

constexpr BlobEntry kBlobs[] = {
    {IDR_ABOUT_TEXT, kAboutText, sizeof kAboutText},
    {IDR_PRESENCE_INTRO, kPresenceIntro, sizeof kPresenceIntro},
};

// Nothing refers to the directory by name: `used` keeps the compiler from
// dropping it, `retain` keeps a linker's section garbage collection off it.
// Internal linkage keeps it out of the library's symbol table altogether.
#define KILN_RETAIN
#ifdef __has_attribute
#if __has_attribute(retain)
#undef KILN_RETAIN
#define KILN_RETAIN , gnu::retain
#endif
#endif
// clang-format off
[[gnu::section("kiln_resources"), gnu::used KILN_RETAIN]]
const ResourceDirectory kModuleResources = {
    kResourceDirectoryMagic,
    kResourceDirectoryVersion,
    kStrings,
    static_cast<int>(std::size(kStrings)),
    kDialogs,
    static_cast<int>(std::size(kDialogs)),
    kBlobs,
    static_cast<int>(std::size(kBlobs)),
};
// clang-format on
#undef KILN_RETAIN

}  // namespace
}  // namespace kiln::res
