#include "platform/file.h"

#include <windows.h>

namespace kiln::platform {
namespace {

FileHandle Open(const wchar_t* path, DWORD disposition) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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

FileHandle OpenSharedForAppend(const wchar_t* path) {
    return Open(path, OPEN_ALWAYS);
}

FileHandle CreateSharedForWrite(const wchar_t* path) {
    return Open(path, CREATE_ALWAYS);
}

bool AppendAll(FileHandle file, const void* data, size_t size) {
    if (!file || SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        return false;
    }
    return WriteFully(file, data, size);
}

bool WriteAll(FileHandle file, const void* data, size_t size) {
    return file && WriteFully(file, data, size);
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

bool CopyFileReplacing(const wchar_t* from, const wchar_t* to) {
    return CopyFileW(from, to, FALSE) != 0;
}

}  // namespace kiln::platform
