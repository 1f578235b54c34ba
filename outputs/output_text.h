// Small helpers the outputs share for turning formatted wide text into bytes.
#pragma once

#include <string>

namespace kiln {

// UTF-8 of a wide text through the host's conversion; empty when it fails.
std::string ToUtf8(const wchar_t* text);

// Formats a template for the item now playing (fills currentLocation).
void FormatForCurrentItem(const wchar_t* format, wchar_t* out, int outChars, int mode);

}  // namespace kiln
