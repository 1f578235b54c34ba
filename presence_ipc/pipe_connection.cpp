#include "presence_ipc/pipe_connection.h"

#include <chrono>

namespace kiln::presence_ipc {

PipeConnection& ProcessPipeConnection() {
    static PipeConnection connection;
    return connection;
}

bool PipeConnection::OpenPipe() {
    ClosePipe();
    int digit = 0;
    for (;;) {
        switch (platform::OpenPipeInstance(digit, &handle_)) {
            case platform::PipeOpenResult::Opened:
                isOpen_ = true;
                return true;
            case platform::PipeOpenResult::NotFound:
                if (digit == kLastDigit) {
                    return false;
                }
                ++digit;
                break;
            case platform::PipeOpenResult::Busy:
                // The first instance that exists is the one to use: a busy one
                // is waited for, not skipped.
                if (!WaitForBusy(digit)) {
                    return false;
                }
                break;
            case platform::PipeOpenResult::Failed:
                return false;
        }
    }
}

bool PipeConnection::WaitForBusy(int digit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBusyWaitMs);
    while (!abandonWait.load() && Clock::now() < deadline) {
        const auto sliceStart = Clock::now();
        if (platform::WaitPipeInstance(digit, kBusyWaitSliceMs)) {
            return true;
        }
        // A wait that ends well before its slice did not time out: the
        // instance is gone, or cannot be waited for.
        if (Clock::now() - sliceStart < std::chrono::milliseconds(kBusyWaitSliceMs / 2)) {
            return false;
        }
    }
    return false;
}

void PipeConnection::ClosePipe() {
    if (handle_ != platform::kInvalidPipe) {
        platform::ClosePipeHandle(handle_);
        handle_ = platform::kInvalidPipe;
    }
    isOpen_ = false;
}

bool PipeConnection::WritePipe(const void* data, size_t length) {
    if (!data || handle_ == platform::kInvalidPipe) {
        return false;
    }
    return platform::WritePipeBytes(handle_, data, length, writeTimeoutMs);
}

bool PipeConnection::ReadPipe(void* buffer, size_t length) {
    if (!buffer || handle_ == platform::kInvalidPipe) {
        return false;
    }
    size_t available = 0;
    if (!platform::PeekPipe(handle_, length, &available)) {
        ClosePipe();
        return false;
    }
    if (available < length) {
        return false;
    }
    if (!platform::ReadPipeBytes(handle_, buffer, length)) {
        ClosePipe();
        return false;
    }
    return true;
}

}  // namespace kiln::presence_ipc
