#include "platform/pipe.h"

#include <windows.h>

namespace kiln::platform {
namespace {

// "\\?\pipe\discord-ipc-N"; the last character is the instance digit.
void InstanceName(int digit, wchar_t (&name)[32]) {
    const wchar_t prefix[] = L"\\\\?\\pipe\\discord-ipc-";
    size_t i = 0;
    for (; prefix[i]; ++i) {
        name[i] = prefix[i];
    }
    name[i++] = static_cast<wchar_t>(L'0' + digit);
    name[i] = 0;
}

HANDLE ToHandle(PipeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

PipeOpenResult OpenPipeInstance(int digit, PipeHandle* handle) {
    wchar_t name[32];
    InstanceName(digit, name);
    HANDLE pipe =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    *handle = reinterpret_cast<PipeHandle>(pipe);
    if (pipe != INVALID_HANDLE_VALUE) {
        return PipeOpenResult::Opened;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return PipeOpenResult::NotFound;
        case ERROR_PIPE_BUSY:
            return PipeOpenResult::Busy;
        default:
            return PipeOpenResult::Failed;
    }
}

bool WaitPipeInstance(int digit, unsigned timeoutMs) {
    wchar_t name[32];
    InstanceName(digit, name);
    return WaitNamedPipeW(name, timeoutMs) != 0;
}

bool PeekPipe(PipeHandle handle, size_t /*wanted*/, size_t* available) {
    // Only the total count: the bytes-left-in-message value is not reliable on
    // byte-mode pipes.
    DWORD count = 0;
    if (!PeekNamedPipe(ToHandle(handle), nullptr, 0, nullptr, &count, nullptr)) {
        return false;
    }
    *available = count;
    return true;
}

bool ReadPipeBytes(PipeHandle handle, void* buffer, size_t length) {
    auto* target = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        DWORD got = 0;
        DWORD ask = static_cast<DWORD>(length - done);
        if (!ReadFile(ToHandle(handle), target + done, ask, &got, nullptr) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool WritePipeBytes(PipeHandle handle, const void* data, size_t length) {
    DWORD written = 0;
    if (!WriteFile(ToHandle(handle), data, static_cast<DWORD>(length), &written, nullptr)) {
        return false;
    }
    return written == length;
}

void ClosePipeHandle(PipeHandle handle) {
    if (handle != kInvalidPipe) {
        CloseHandle(ToHandle(handle));
    }
}

}  // namespace kiln::platform
