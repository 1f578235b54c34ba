// Files the plug-in writes itself, opened with shared read and write access so
// that other programs (an overlay, an editor) can read them meanwhile.
#pragma once

#include <cstddef>

namespace kiln::platform {

using FileHandle = void*;

// Opens an existing file or creates it, keeping its content. Null on failure.
FileHandle OpenSharedForAppend(const wchar_t* path);
// Creates a file, replacing an existing one. Null on failure.
FileHandle CreateSharedForWrite(const wchar_t* path);
// The size of an open file in bytes; -1 when it cannot be had.
long long SizeOfOpenFile(FileHandle file);
// Writes everything at the end of the file in one write.
bool AppendAll(FileHandle file, const void* data, size_t size);
// Writes everything at the current position.
bool WriteAll(FileHandle file, const void* data, size_t size);
// Waits until what was written is on the disk, not only handed to the system.
bool FlushToDisk(FileHandle file);
void CloseFileHandle(FileHandle file);

bool DeleteFileAt(const wchar_t* path);
// Renames, replacing an existing target; may copy across volumes.
bool MoveFileReplacing(const wchar_t* from, const wchar_t* to);
// The same, returning only once the new name is on the disk too: a crash
// after it cannot bring the old file back under `to`.
bool MoveFileReplacingDurably(const wchar_t* from, const wchar_t* to);
// Appends everything at the end, creating the file when needed, and returns
// once it is on the disk. On failure (a full disk) the file is cut back to
// its size before, so no partial bytes stay.
bool AppendDurably(const wchar_t* path, const void* data, size_t size);
bool CopyFileReplacing(const wchar_t* from, const wchar_t* to);
// Gives an existing file a second name (a hard link): no bytes are copied.
// Fails when the name is taken or the file system has no such links.
bool LinkFile(const wchar_t* existing, const wchar_t* link);

// The characters that end a folder's name in a path.
#if defined(_WIN32)
inline constexpr const wchar_t* kFolderSeparators = L"\\/";
#else
inline constexpr const wchar_t* kFolderSeparators = L"/";
#endif

// What writing a file into a folder would meet, found without creating or
// changing anything: cheap enough to ask on every keystroke.
enum class FolderAccess {
    kWritable,     // the folder is there and takes new files
    kCreatable,    // missing, and its nearest existing ancestor takes new folders
    kReadOnly,     // there, but refuses new files
    kUncreatable,  // missing, and its nearest existing ancestor refuses new folders
    kFileInWay,    // the folder, or one on its way, is a file
    kTooLong,      // longer than the system takes
};
FolderAccess CheckFolderAccess(const wchar_t* folder);

// An exclusive lock on `path` (created when missing), held until the handle
// is closed with CloseFileHandle or the process ends; it holds across
// processes and against a second open in the same one. Null when it cannot
// be had; `heldElsewhere` then tells whether someone else holds it.
FileHandle TakeExclusiveLock(const wchar_t* path, bool* heldElsewhere);

}  // namespace kiln::platform
