// The client end of the application's pipe, read without ever blocking.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/pipe.h"

namespace kiln::presence_ipc {

class PipeConnection {
  public:
    // A busy instance is waited for this long per wait, never skipped.
    static constexpr unsigned kBusyWaitMs = 10000;
    // ...in slices of this, so that a shutdown need not sit out the whole wait.
    static constexpr unsigned kBusyWaitSliceMs = 100;
    static constexpr int kLastDigit = 9;
    // The longest a write may wait for the application to take its bytes:
    // one that does not read is dropped and reconnected, never waited for.
    static constexpr unsigned kWriteTimeoutMs = 1000;

    // Opens the first existing instance of 0..9; true when one was opened.
    bool OpenPipe();
    // Always succeeds; closing a closed pipe is harmless.
    void ClosePipe();
    // True only when all `length` bytes were written within writeTimeoutMs.
    // A failed write leaves the pipe open; the caller closes it.
    bool WritePipe(const void* data, size_t length);
    // Reads exactly `length` bytes or nothing, never blocking: false with the
    // pipe left open when fewer are waiting, false with the pipe closed when
    // it has failed.
    bool ReadPipe(void* buffer, size_t length);

    bool IsOpen() const { return isOpen_; }
    platform::PipeHandle Handle() const { return handle_; }

    unsigned writeTimeoutMs = kWriteTimeoutMs;
    // Set by a shutdown while it waits for the IO thread: a wait for a busy
    // instance ends at its next slice.
    std::atomic<bool> abandonWait{false};

  private:
    bool WaitForBusy(int digit);

    bool isOpen_ = false;
    platform::PipeHandle handle_ = platform::kInvalidPipe;
};

// The one connection of the process, reused by every client lifetime.
PipeConnection& ProcessPipeConnection();

}  // namespace kiln::presence_ipc
