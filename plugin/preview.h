// Live previews of the templates on the preference pages: a template field
// formatted for the item now playing and shown in the page's preview field.
// Shared by the output tabs and the presence page.
#pragma once

#include <string>

#include "core/host_services.h"

namespace kiln {

// What the preview thread formats.
inline constexpr int kPreviewPresence = 1;     // field 1005 of the presence page
inline constexpr int kPreviewPost = 2;         // the POST template of the chosen event
inline constexpr int kPreviewHistoryLine = 3;  // the history line template
inline constexpr int kPreviewNowLine = 4;      // the now-playing line template

// Modes of PreviewTemplate.
inline constexpr int kPreviewModePresence = 1;  // plain text, cut to 256 characters
inline constexpr int kPreviewModePost = 2;      // values URL-escaped

// The page that opened last (not the artwork tab); the preview thread writes
// into it. Main thread.
void SetPreviewPage(Window page);
Window PreviewPage();

// Formats `code`'s template on the preview thread. A request made while a
// preview runs is remembered, and the thread runs once more when it ends, so
// the preview always ends on the field's current text. Main thread.
void StartPreview(int code);

// Formats field `controlId` of `window` at once into the window's preview
// field 1006; any thread. Returns the field's text the preview was made from.
std::wstring PreviewTemplate(Window window, int controlId, int mode);

// Quit: waits up to 10000 ms for the preview thread and closes its handle.
void StopPreviewThreadForQuit();

}  // namespace kiln
