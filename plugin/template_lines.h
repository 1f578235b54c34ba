// Formatting a template that may span several lines.
#pragma once

#include <string>

namespace kiln {

// Formats `format` for the item of `location` (a buffer of `locationChars`
// that the host fills) with the host's title formatting in `mode`, one line
// at a time, and joins the results with the template's own line breaks and
// tabs. Nothing is escaped on the way, so a value that holds a backslash or
// an escape-like sequence ("C:\new", "back\slash") arrives exactly as tagged,
// and the file-name mode's dropping of control characters cannot eat the
// breaks. A construct cannot span a line. Within a formatted line, a run of
// control characters coming from a value (a tag's own line break or tab)
// becomes one space. The result holds at most `outChars` - 1 characters.
std::wstring FormatTemplateLines(const wchar_t* format, wchar_t* location, int locationChars,
                                 int mode, const void* extra, int outChars);

}  // namespace kiln
