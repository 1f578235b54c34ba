// The Linux build's resources: plain tables that gen_kiln.so carries in an ELF
// section of their own (kKilnResourceSection), so that the host finds them
// from the module handle alone, as a Windows loader finds a DLL's resources.
// Dialog texts and strings are wide; styles are Win32 values (styles.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::res {

// "KLRS" read as a little-endian 32-bit value.
inline constexpr uint32_t kResourceDirectoryMagic = 0x53524C4Bu;
// Raised whenever a struct below changes shape.
inline constexpr uint32_t kResourceDirectoryVersion = 1;
inline constexpr const char* kKilnResourceSection = "kiln_resources";

struct StringEntry {
    int id;
    const wchar_t* text;
};

struct ControlEntry {
    int id;
    const char* className;  // "Button", "Edit", "Static", "ComboBox"
    const wchar_t* text;
    uint32_t style;
    int x, y, width, height;  // dialog units
};

struct DialogEntry {
    int id;
    int width, height;  // dialog units
    const ControlEntry* controls;
    int controlCount;
};

// A compressed text: gzip of UTF-16LE with a byte-order mark.
struct BlobEntry {
    int id;
    const uint8_t* data;
    size_t size;
};

struct ResourceDirectory {
    uint32_t magic;
    uint32_t version;
    const StringEntry* strings;
    int stringCount;
    const DialogEntry* dialogs;
    int dialogCount;
    const BlobEntry* blobs;
    int blobCount;
};

}  // namespace kiln::res
