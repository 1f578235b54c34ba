// Paths of the substitute host. Paths are wide text towards the plug-in and
// UTF-8 bytes towards the file system. The plug-in's own literals use '\' as
// the separator ("artcache\discord.jpg"), so the host takes both '\' and '/'
// as separators and writes '/'. Nothing here throws.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kiln::host {

// folder + '/' + name with exactly one separator at the joint; an absolute
// name (starting with a separator) is returned alone, an empty folder gives
// the name. Backslashes become '/'.
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// Creates the folder and its missing parents; true when it exists afterwards.
bool CreatePath(std::wstring_view folder);

// Lexical clean-up: '\' becomes '/', repeated separators and "." go, ".."
// takes away the component before it. An absolute path keeps its leading
// '/' and never climbs above it; a relative one keeps the ".." it cannot
// resolve. A trailing separator goes (except for "/"); a relative path that
// cancels out entirely is ".".
std::wstring NormalisePath(std::wstring_view path);

// True for an existing regular file or folder.
bool FileExists(std::wstring_view path);

// Wide text <-> file-system path. Characters that cannot be converted become
// U+FFFD.
std::filesystem::path ToFsPath(std::wstring_view path);
std::wstring FromFsPath(const std::filesystem::path& path);

}  // namespace kiln::host
