// The host's text service (descriptor field 11): the buffers and text copies
// the scrobbler keeps, made and released by the host.
#pragma once

#include <cstddef>

namespace kiln {

// A zeroed buffer of `bytes` bytes, or null.
void* TextAllocate(size_t bytes);
// Releases a buffer or copy of this service; null is harmless.
void TextRelease(void* block);
// A copy of UTF-8 text, or null.
char* TextCopyUtf8(const char* text);
// A copy of wide text that replaces `previous` (released in every case), or null.
wchar_t* TextReplaceWide(const wchar_t* text, void* previous);

}  // namespace kiln
