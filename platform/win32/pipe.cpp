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

// One overlapped operation and its event.
class Operation {
  public:
    Operation() { overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Operation() {
        if (overlapped_.hEvent) {
            CloseHandle(overlapped_.hEvent);
        }
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    bool Ready() const { return overlapped_.hEvent != nullptr; }
    OVERLAPPED* Get() { return &overlapped_; }

    // Waits at most timeoutMs for the operation that `started` reported and
    // gives the bytes it moved; an operation still running then is cancelled
    // and waited for, since it owns the buffer and this record.
    bool Finish(HANDLE handle, BOOL started, DWORD timeoutMs, DWORD* moved) {
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (WaitForSingleObject(overlapped_.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(handle, &overlapped_);
            GetOverlappedResult(handle, &overlapped_, moved, TRUE);
            return false;
        }
        return GetOverlappedResult(handle, &overlapped_, moved, FALSE) != 0;
    }

  private:
    OVERLAPPED overlapped_{};
};

}  // namespace

PipeOpenResult OpenPipeInstance(int digit, PipeHandle* handle) {
    wchar_t name[32];
    InstanceName(digit, name);
    // Overlapped, so that a write can give up on an application that stops
    // reading; reads and writes each wait for their own operation.
    HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
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
        Operation read;
        DWORD got = 0;
        DWORD ask = static_cast<DWORD>(length - done);
        // The bytes have been peeked, so the read completes at once.
        if (!read.Ready() ||
            !read.Finish(ToHandle(handle),
                         ReadFile(ToHandle(handle), target + done, ask, nullptr, read.Get()),
                         INFINITE, &got) ||
            got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool WritePipeBytes(PipeHandle handle, const void* data, size_t length, unsigned timeoutMs) {
    Operation write;
    DWORD written = 0;
    if (!write.Ready()) {
        return false;
    }
    BOOL started =
        WriteFile(ToHandle(handle), data, static_cast<DWORD>(length), nullptr, write.Get());
    return write.Finish(ToHandle(handle), started, timeoutMs, &written) && written == length;
}

void ClosePipeHandle(PipeHandle handle) {
    if (handle != kInvalidPipe) {
        CloseHandle(ToHandle(handle));
    }
}

}  // namespace kiln::platform
