// Dynamic libraries and symbols of the running program.
#pragma once

namespace kiln::platform {

// An exported symbol of the main program, or null.
void* FindProgramSymbol(const char* name);

// Loads a shared library by its file name (searched the system's way); null on failure.
void* LoadLibraryByName(const char* name);
void* FindLibrarySymbol(void* library, const char* name);

// File names under which the system's libcurl may be found, null-terminated.
const char* const* CurlLibraryNames();

}  // namespace kiln::platform
