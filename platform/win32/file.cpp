#include "platform/file.h"

#include <windows.h>

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

}  // namespace

// Append access without write access: the system puts every write at the end
// of the file in one step, so writers in other processes cannot interleave
// between a seek and a write.
FileHandle OpenSharedForAppend(const wchar_t* path) {
    return Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
}

FileHandle CreateSharedForWrite(const wchar_t* path) {
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS);
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
