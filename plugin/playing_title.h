// The "Playing:" title of a file, as status texts show it.
#pragma once

namespace kiln {

// "Playing: artist - title" of `file`. The text lives in a buffer of the
// calling thread, which its next call overwrites.
const wchar_t* PlayingTitle(const wchar_t* file);

}  // namespace kiln
