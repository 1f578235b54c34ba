// Client end of the local pipe that the Discord application serves: a named
// pipe on Windows, a Unix domain socket elsewhere. Instances are numbered 0 to
// 9; the frame logic above this layer is the same for both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::platform {

// A HANDLE on Windows, a file descriptor elsewhere.
using PipeHandle = intptr_t;
inline constexpr PipeHandle kInvalidPipe = -1;  // all bits set

enum class PipeOpenResult {
    Opened,    // *handle is the open pipe
    NotFound,  // no such instance (or it refuses connections): try the next one
    Busy,      // the instance exists but is taken: wait for it
    Failed,    // anything else: give up
};

// Opens instance `digit` (0..9) for reading and writing. *handle receives the
// opened handle, or kInvalidPipe.
PipeOpenResult OpenPipeInstance(int digit, PipeHandle* handle);

// Waits at most timeoutMs for a busy instance `digit` to become available;
// true when it did (open it again then).
bool WaitPipeInstance(int digit, unsigned timeoutMs);

// Number of bytes waiting, without removing any. False when the pipe has
// failed; on POSIX also when the other end is gone and fewer than `wanted`
// bytes are left, since those can never be completed.
bool PeekPipe(PipeHandle handle, size_t wanted, size_t* available);

// Reads exactly `length` bytes synchronously; call only when PeekPipe has
// reported them waiting, so that it does not block.
bool ReadPipeBytes(PipeHandle handle, void* buffer, size_t length);

// Writes all `length` bytes, waiting at most timeoutMs for the other end to
// take them; false when not all were written by then. A peer that stops
// reading must never hold the writing thread.
bool WritePipeBytes(PipeHandle handle, const void* data, size_t length, unsigned timeoutMs);

void ClosePipeHandle(PipeHandle handle);

}  // namespace kiln::platform
