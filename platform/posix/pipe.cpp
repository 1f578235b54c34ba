// The Discord application on Linux listens on Unix domain sockets named
// discord-ipc-0 ... discord-ipc-9 in the user's runtime folder, or in the
// sub-folder that a Flatpak or Snap installation exposes there.
#include "platform/pipe.h"

#include "core/thread_annotations.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kiln::platform {
namespace {

constexpr const char* kSubfolders[] = {"", "app/com.discordapp.Discord/", "snap.discord/"};

// Looked up on every attempt: the folder may change while the client waits.
const char* BaseFolder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return value;
        }
    }
    return "/tmp";
}

bool InstanceAddress(int digit, const char* subfolder, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const char* base = BaseFolder();
    const char* separator = base[std::strlen(base) - 1] == '/' ? "" : "/";
    int length = std::snprintf(address->sun_path, sizeof address->sun_path, "%s%s%sdiscord-ipc-%d",
                               base, separator, subfolder, digit);
    // A name that does not fit the address cannot be reached; count it as missing.
    return length > 0 && static_cast<size_t>(length) < sizeof address->sun_path;
}

enum class Attempt { Connected, Missing, Busy, Failed };

Attempt Connect(const sockaddr_un& address, int* fd) {
    int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketFd < 0) {
        return Attempt::Failed;
    }
    if (connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        // Connected without waiting. Reads never block anyway (they are peeked
        // first) and writes wait with a deadline of their own.
        int flags = fcntl(socketFd, F_GETFL);
        fcntl(socketFd, F_SETFL, flags & ~O_NONBLOCK);
        *fd = socketFd;
        return Attempt::Connected;
    }
    int error = errno;
    close(socketFd);
    // A non-blocking connect fails with EAGAIN only when the listener's queue
    // is full: the instance exists but is taken. Everything else (no such
    // file, refused, not a socket, no access) means this name is not usable.
    return error == EAGAIN ? Attempt::Busy : Attempt::Missing;
}

// State of a wait for a busy instance, used by the IO thread only; the mutex
// keeps tests that open pipes from their own threads honest.
Mutex waitMutex;
int busyDigit GUARDED_BY(waitMutex) = -1;
sockaddr_un busyAddress GUARDED_BY(waitMutex);
// A wait can only tell that the instance is free by connecting to it; that
// connection is handed to the open of the same instance that follows.
int waitedDigit GUARDED_BY(waitMutex) = -1;
int waitedFd GUARDED_BY(waitMutex) = -1;

}  // namespace

PipeOpenResult OpenPipeInstance(int digit, PipeHandle* handle) {
    *handle = kInvalidPipe;
    MutexLock lock(waitMutex);
    if (waitedFd >= 0) {
        int fd = waitedFd;
        bool same = waitedDigit == digit;
        waitedFd = -1;
        waitedDigit = -1;
        if (same) {
            *handle = fd;
            return PipeOpenResult::Opened;
        }
        close(fd);
    }
    busyDigit = -1;
    bool busy = false;
    bool failed = false;
    for (const char* subfolder : kSubfolders) {
        sockaddr_un address;
        if (!InstanceAddress(digit, subfolder, &address)) {
            continue;
        }
        int fd = -1;
        switch (Connect(address, &fd)) {
            case Attempt::Connected:
                *handle = fd;
                return PipeOpenResult::Opened;
            case Attempt::Busy:
                if (!busy) {
                    busy = true;
                    busyDigit = digit;
                    busyAddress = address;
                }
                break;
            case Attempt::Failed:
                failed = true;
                break;
            case Attempt::Missing:
                break;
        }
    }
    if (busy) {
        return PipeOpenResult::Busy;
    }
    return failed ? PipeOpenResult::Failed : PipeOpenResult::NotFound;
}

bool WaitPipeInstance(int digit, unsigned timeoutMs) {
    MutexLock lock(waitMutex);
    if (busyDigit != digit) {
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // A blocking connect to a full queue waits for room, for at most the send
    // time-out.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        timeval timeout{static_cast<time_t>(left.count() / 1000000),
                        static_cast<suseconds_t>(left.count() % 1000000)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&busyAddress), sizeof busyAddress) == 0) {
            // Writes set their own deadline; the connect's limit must not stay.
            timeval none{0, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
            waitedDigit = digit;
            waitedFd = fd;
            return true;
        }
        if (errno != EINTR) {
            break;
        }
    }
    close(fd);
    return false;
}

bool PeekPipe(PipeHandle handle, size_t wanted, size_t* available) {
    int fd = static_cast<int>(handle);
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) {
        return false;
    }
    if (static_cast<size_t>(count) < wanted) {
        // A socket whose peer has gone reports nothing waiting rather than an
        // error; without this check a lost application would never be noticed.
        pollfd state{fd, POLLIN | POLLRDHUP, 0};
        if (poll(&state, 1, 0) > 0) {
            if (state.revents & (POLLERR | POLLNVAL)) {
                return false;
            }
            if (state.revents & (POLLHUP | POLLRDHUP)) {
                // Bytes that arrived before the hang-up are still there to read.
                if (ioctl(fd, FIONREAD, &count) != 0 || count < 0 ||
                    static_cast<size_t>(count) < wanted) {
                    return false;
                }
            }
        }
    }
    *available = static_cast<size_t>(count);
    return true;
}

bool ReadPipeBytes(PipeHandle handle, void* buffer, size_t length) {
    int fd = static_cast<int>(handle);
    auto* target = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t got = recv(fd, target + done, length - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool WritePipeBytes(PipeHandle handle, const void* data, size_t length, unsigned timeoutMs) {
    int fd = static_cast<int>(handle);
    const auto* source = static_cast<const char*>(data);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < length) {
        // A vanished peer must fail the write, not raise SIGPIPE in the host;
        // a full socket waits in poll below, never in send.
        ssize_t sent = send(fd, source + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd state{fd, POLLOUT, 0};
            if (poll(&state, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
                return false;
            }
            continue;  // room, an error for send to report, or the deadline
        }
        return false;
    }
    return true;
}

void ClosePipeHandle(PipeHandle handle) {
    if (handle != kInvalidPipe) {
        close(static_cast<int>(handle));
    }
}

}  // namespace kiln::platform
