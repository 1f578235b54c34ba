#include "platform/file.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kiln::platform {
namespace {

FileHandle Open(const wchar_t* path, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool WriteFully(HANDLE h, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

// Characters of the root, which is never made: C:\ or \\server\share\, the
// same behind \\?\ (or \\?\UNC\); 0 for a relative path.
size_t RootLength(const std::wstring& path) {
    size_t start = path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
    const bool unc = start == 4 ? path.rfind(L"UNC\\", 4) == 4 : path.rfind(L"\\\\", 0) == 0;
    if (!unc) {
        return path.size() >= start + 2 && path[start + 1] == L':'
                   ? start + (path.size() > start + 2 ? 3 : 2)
                   : start;
    }
    start = start == 4 ? 8 : 2;
    const size_t server = path.find(L'\\', start);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

// Whether this process's user may add `right` (a file or a folder) to
// `folder`, by its access list: nothing is made to find out. A folder
// without one (FAT) lets everyone in.
bool MayAdd(const std::wstring& folder, DWORD right) {
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    GetFileSecurityW(folder.c_str(), parts, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || !GetFileSecurityW(folder.c_str(), parts, descriptor.data(), size, &size)) {
        return true;
    }
    HANDLE process = nullptr, token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process)) {
        return true;
    }
    const bool duplicated = DuplicateToken(process, SecurityImpersonation, &token) != 0;
    CloseHandle(process);
    if (!duplicated) {
        return true;
    }
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = TRUE;
    const BOOL checked = AccessCheck(descriptor.data(), token, right, &mapping, &privileges,
                                     &privilegesSize, &granted, &allowed);
    CloseHandle(token);
    return !checked || allowed;
}

}  // namespace

FolderAccess CheckFolderAccess(const wchar_t* folder) {
    std::wstring path = folder ? folder : L"";
    for (wchar_t& c : path) {
        c = c == L'/' ? L'\\' : c;
    }
    // The plug-in's own paths are MAX_PATH buffers.
    if (path.size() >= MAX_PATH) {
        return FolderAccess::kTooLong;
    }
    const size_t root = RootLength(path);
    bool missing = false;
    for (;;) {
        while (path.size() > root && path.size() > 1 && path.back() == L'\\') {
            path.pop_back();
        }
        if (path.empty()) {
            path = L".";
        }
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return FolderAccess::kFileInWay;
            }
            const bool takes = MayAdd(path, missing ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
            return takes ? (missing ? FolderAccess::kCreatable : FolderAccess::kWritable)
                         : (missing ? FolderAccess::kUncreatable : FolderAccess::kReadOnly);
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILENAME_EXCED_RANGE) {
            return FolderAccess::kTooLong;
        }
        // A file on the way reads as a missing path; the walk up reaches it.
        const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                            error == ERROR_DIRECTORY;
        const size_t slash = path.rfind(L'\\');
        if (!absent || path.size() <= root || path == L".") {
            return missing ? FolderAccess::kUncreatable : FolderAccess::kReadOnly;
        }
        missing = true;
        path = slash == std::wstring::npos ? (root ? path.substr(0, root) : L".")
               : slash < root              ? path.substr(0, root)
                                           : path.substr(0, slash);
    }
}

// Append access without write access: the system puts every write at the end
// of the file in one step, so writers in other processes cannot interleave
// between a seek and a write.
FileHandle OpenSharedForAppend(const wchar_t* path) {
    return Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
}

FileHandle CreateSharedForWrite(const wchar_t* path) {
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS);
}

long long SizeOfOpenFile(FileHandle file) {
    LARGE_INTEGER size{};
    return file && GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

bool AppendAll(FileHandle file, const void* data, size_t size) {
    return file && WriteFully(file, data, size);
}

bool WriteAll(FileHandle file, const void* data, size_t size) {
    return file && WriteFully(file, data, size);
}

bool FlushToDisk(FileHandle file) {
    return file && FlushFileBuffers(file) != 0;
}

void CloseFileHandle(FileHandle file) {
    if (file) {
        CloseHandle(file);
    }
}

bool DeleteFileAt(const wchar_t* path) {
    return DeleteFileW(path) != 0;
}

bool MoveFileReplacing(const wchar_t* from, const wchar_t* to) {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool LinkFile(const wchar_t* existing, const wchar_t* link) {
    return CreateHardLinkW(link, existing, nullptr) != 0;
}

bool CopyFileReplacing(const wchar_t* from, const wchar_t* to) {
    return CopyFileW(from, to, FALSE) != 0;
}

bool MoveFileReplacingDurably(const wchar_t* from, const wchar_t* to) {
    return MoveFileExW(
               from, to,
               MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
}

bool AppendDurably(const wchar_t* path, const void* data, size_t size) {
    // Write access, not append access alone: a failed append is cut back.
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER before{};
    bool ok = GetFileSizeEx(h, &before) && SetFilePointerEx(h, before, nullptr, FILE_BEGIN);
    if (ok) {
        ok = WriteFully(h, data, size) && FlushFileBuffers(h) != 0;
        if (!ok && SetFilePointerEx(h, before, nullptr, FILE_BEGIN) && SetEndOfFile(h)) {
            FlushFileBuffers(h);
        }
    }
    CloseHandle(h);
    return ok;
}

FileHandle TakeExclusiveLock(const wchar_t* path, bool* heldElsewhere) {
    if (heldElsewhere) {
        *heldElsewhere = false;
    }
    // No sharing at all: any other open of the file, from this process or
    // another, fails while the handle is held.
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (heldElsewhere) {
            const DWORD error = GetLastError();
            *heldElsewhere = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        }
        return nullptr;
    }
    return h;
}

}  // namespace kiln::platform
