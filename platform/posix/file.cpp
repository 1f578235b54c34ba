#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/posix/path_text.h"

namespace kiln::platform {
namespace {

int Fd(FileHandle file) {
    return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1;
}
FileHandle Handle(int fd) {
    return fd < 0 ? nullptr : reinterpret_cast<FileHandle>(intptr_t{fd} + 1);
}

bool WriteFully(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A new or renamed name is on the disk only once its folder is.
bool SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

FileHandle OpenSharedForAppend(const wchar_t* path) {
    // O_APPEND makes each write land at the end even when the worker and the
    // main thread write the same file.
    return Handle(
        ::open(posix::PathBytes(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

FileHandle CreateSharedForWrite(const wchar_t* path) {
    return Handle(
        ::open(posix::PathBytes(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

long long SizeOfOpenFile(FileHandle file) {
    struct stat status {};
    return Fd(file) >= 0 && ::fstat(Fd(file), &status) == 0 ? status.st_size : -1;
}

bool AppendAll(FileHandle file, const void* data, size_t size) {
    int fd = Fd(file);
    if (fd < 0 || ::lseek(fd, 0, SEEK_END) < 0) {
        return false;
    }
    return WriteFully(fd, data, size);
}

bool WriteAll(FileHandle file, const void* data, size_t size) {
    int fd = Fd(file);
    return fd >= 0 && WriteFully(fd, data, size);
}

bool FlushToDisk(FileHandle file) {
    int fd = Fd(file);
    return fd >= 0 && ::fsync(fd) == 0;
}

void CloseFileHandle(FileHandle file) {
    if (file) {
        ::close(Fd(file));
    }
}

bool DeleteFileAt(const wchar_t* path) {
    return ::unlink(posix::PathBytes(path).c_str()) == 0;
}

bool CopyFileReplacing(const wchar_t* from, const wchar_t* to) {
    int in = ::open(posix::PathBytes(from).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    int out = ::open(posix::PathBytes(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    char buffer[16384];
    while (ok) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = WriteFully(out, buffer, static_cast<size_t>(n));
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0) {
        ok = false;
    }
    return ok;
}

bool LinkFile(const wchar_t* existing, const wchar_t* link) {
    return ::link(posix::PathBytes(existing).c_str(), posix::PathBytes(link).c_str()) == 0;
}

bool MoveFileReplacing(const wchar_t* from, const wchar_t* to) {
    if (::rename(posix::PathBytes(from).c_str(), posix::PathBytes(to).c_str()) == 0) {
        return true;
    }
    // Across file systems a rename cannot work; copy and remove instead.
    if (errno == EXDEV && CopyFileReplacing(from, to)) {
        return DeleteFileAt(from);
    }
    return false;
}

bool MoveFileReplacingDurably(const wchar_t* from, const wchar_t* to) {
    return MoveFileReplacing(from, to) && SyncFolderOf(posix::PathBytes(to));
}

bool AppendDurably(const wchar_t* path, const void* data, size_t size) {
    const std::string bytes = posix::PathBytes(path);
    bool created = false;
    int fd = ::open(bytes.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(bytes.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        created = fd >= 0;
    }
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    bool ok = WriteFully(fd, data, size) && ::fsync(fd) == 0;
    if (!ok) {
        // Whatever part of it was written would read as a torn line.
        if (::ftruncate(fd, before.st_size) == 0) {
            ::fsync(fd);
        }
    }
    ::close(fd);
    return ok && (!created || SyncFolderOf(bytes));
}

FolderAccess CheckFolderAccess(const wchar_t* folder) {
    std::string path = posix::PathBytes(folder ? folder : L"");
    bool missing = false;
    for (;;) {
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        if (path.empty()) {
            path = ".";
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                return FolderAccess::kFileInWay;
            }
            // New entries need write and search rights on the folder that takes them.
            const bool takes = ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
            return takes ? (missing ? FolderAccess::kCreatable : FolderAccess::kWritable)
                         : (missing ? FolderAccess::kUncreatable : FolderAccess::kReadOnly);
        }
        if (errno == ENAMETOOLONG) {
            return FolderAccess::kTooLong;
        }
        const size_t slash = path.rfind('/');
        // ENOTDIR: a file on the way, found when the walk reaches it.
        const bool absent = errno == ENOENT || errno == ENOTDIR;
        if (!absent || path == "." || path == "/") {
            return missing ? FolderAccess::kUncreatable : FolderAccess::kReadOnly;
        }
        missing = true;
        path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    }
}

FileHandle TakeExclusiveLock(const wchar_t* path, bool* heldElsewhere) {
    if (heldElsewhere) {
        *heldElsewhere = false;
    }
    // flock belongs to the open file, not the process: a second open in this
    // process is refused as well, as a second plug-in instance should be.
    const int fd = ::open(posix::PathBytes(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    int result = 0;
    while ((result = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        if (heldElsewhere) {
            *heldElsewhere = errno == EWOULDBLOCK;
        }
        ::close(fd);
        return nullptr;
    }
    return Handle(fd);
}

}  // namespace kiln::platform
