// The plug-in's language identifier as a Guid, parsed at compile time from the
// text that string IDS_LANGUAGE_GUID carries, so the two cannot drift apart.
#pragma once

#include <cstdint>

#include "core/handles.h"
#include "resources/resource_ids.h"

namespace kiln::res {

namespace guid_detail {

// Not a constant expression for anything but a hex digit, so a malformed text
// fails the build instead of yielding a wrong identifier.
constexpr uint32_t HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint32_t>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint32_t>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint32_t>(c - 'a' + 10);
    }
    throw "not a hex digit";
}

constexpr uint32_t Hex(const char* text, int first, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 16 + HexDigit(text[first + i]);
    }
    return value;
}

constexpr void Expect(bool condition) {
    if (!condition) {
        throw "not a GUID in registry form";
    }
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
constexpr Guid ParseRegistryGuid(const char* text) {
    int length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    Expect(length == 38 && text[0] == '{' && text[37] == '}');
    Expect(text[9] == '-' && text[14] == '-' && text[19] == '-' && text[24] == '-');
    Guid guid{};
    guid.data1 = Hex(text, 1, 8);
    guid.data2 = static_cast<uint16_t>(Hex(text, 10, 4));
    guid.data3 = static_cast<uint16_t>(Hex(text, 15, 4));
    guid.data4[0] = static_cast<uint8_t>(Hex(text, 20, 2));
    guid.data4[1] = static_cast<uint8_t>(Hex(text, 22, 2));
    for (int i = 0; i < 6; ++i) {
        guid.data4[2 + i] = static_cast<uint8_t>(Hex(text, 25 + 2 * i, 2));
    }
    return guid;
}

}  // namespace guid_detail

inline constexpr Guid kLanguageGuid = guid_detail::ParseRegistryGuid(KILN_LANGUAGE_GUID_TEXT);

}  // namespace kiln::res
