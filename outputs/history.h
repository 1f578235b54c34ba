// The playback history: one line per started item, with optional start and
// stop markers per host session.
#pragma once

namespace kiln {

// Formats `nameTemplate` for the item now playing, joins it to `folder` into
// `dest` (260 characters) and creates the file's folder.
void ComputeOutputPath(const wchar_t* folder, const wchar_t* nameTemplate, wchar_t* dest);

void AppendHistoryLine();
void WriteHistoryMarker(bool stop);

}  // namespace kiln
