// Helpers shared by the window system's files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace kiln::host::window_detail {

inline uintptr_t Key(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

inline int CopyBounded(const std::wstring& text, wchar_t* out, int size) {
    if (!out || size <= 0) {
        return 0;
    }
    size_t count = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::copy_n(text.data(), count, out);
    out[count] = L'\0';
    return static_cast<int>(count);
}

}  // namespace kiln::host::window_detail
