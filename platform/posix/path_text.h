// Wide (UTF-32) paths to the UTF-8 bytes the POSIX calls take.
#pragma once

#include <string>

namespace kiln::platform::posix {

std::string PathBytes(const wchar_t* path);

}  // namespace kiln::platform::posix
