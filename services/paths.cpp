#include "services/paths.h"

#include <system_error>
#include <type_traits>
#include <vector>

#include "services/text_services.h"

namespace kiln::host {
namespace {

bool IsSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

std::wstring ForwardSlashes(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return out;
}

}  // namespace

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    std::wstring tail = ForwardSlashes(name);
    if (!tail.empty() && tail.front() == L'/') {
        return tail;
    }
    std::wstring head = ForwardSlashes(folder);
    if (head.empty()) {
        return tail;
    }
    if (tail.empty()) {
        return head;
    }
    while (head.size() > 1 && head.back() == L'/') {
        head.pop_back();
    }
    if (head.back() != L'/') {
        head.push_back(L'/');
    }
    return head + tail;
}

bool CreatePath(std::wstring_view folder) {
    if (folder.empty()) {
        return false;
    }
    const std::filesystem::path path = ToFsPath(folder);
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

std::wstring NormalisePath(std::wstring_view path) {
    if (path.empty()) {
        return {};
    }
    const bool absolute = IsSeparator(path.front());
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        const std::wstring_view part = path.substr(start, end - start);
        if (part.empty() || part == L".") {
            // nothing
        } else if (part == L"..") {
            if (!parts.empty() && parts.back() != L"..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring out = absolute ? L"/" : L"";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            out.push_back(L'/');
        }
        out.append(parts[i]);
    }
    return out.empty() ? L"." : out;
}

bool FileExists(std::wstring_view path) {
    if (path.empty()) {
        return false;
    }
    std::error_code error;
    const auto status = std::filesystem::status(ToFsPath(path), error);
    return !error &&
           (std::filesystem::is_regular_file(status) || std::filesystem::is_directory(status));
}

std::filesystem::path ToFsPath(std::wstring_view path) {
    if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
        return std::filesystem::path(std::wstring(path));
    } else {
        // The native form is bytes; ours is UTF-8 whatever the locale says.
        return std::filesystem::path(WideToUtf8(path));
    }
}

std::wstring FromFsPath(const std::filesystem::path& path) {
    if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
        return path.wstring();
    } else {
        return Utf8ToWide(path.string());
    }
}

}  // namespace kiln::host
