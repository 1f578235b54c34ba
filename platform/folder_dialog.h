// The system's folder chooser.
#pragma once

#include "core/handles.h"

namespace kiln::platform {

// Asks the user for a folder, starting at `folder`: a dialog titled `title`
// with an edit box for typing a path, no button for making folders, and only
// file-system folders accepted. On OK the choice replaces `folder` (`size`
// characters) and the result is true.
bool ChooseFolder(Window owner, const wchar_t* title, wchar_t* folder, int size);

}  // namespace kiln::platform
