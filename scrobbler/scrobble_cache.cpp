#include "scrobbler/scrobble_cache.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "platform/file.h"

namespace kiln {
namespace {

constexpr int kPathChars = 260;
constexpr int kChunkBytes = 1024;
constexpr int kUtf8 = contract::kCodePageUtf8;
constexpr std::wstring_view kCacheName = L"scrobble.cache";

constexpr int kReplaceAttempts = 5;
constexpr auto kReplacePause = std::chrono::milliseconds(100);

wchar_t cachePath[kPathChars] = L"";  // the event worker's only

// The profile's lock: taken once, closed when the library is unloaded (a
// reloaded library takes it afresh in the same process).
struct ProfileLock {
    Mutex lock;
    bool owner GUARDED_BY(lock) = false;
    platform::FileHandle file GUARDED_BY(lock) = nullptr;
    ~ProfileLock() {
        MutexLock guard(lock);
        platform::CloseFileHandle(file);
    }
};
ProfileLock profileLock;

Mutex cacheFilesLock;

bool WriteWhole(const std::wstring& path, const std::string& bytes, bool flush) {
    platform::FileHandle file = platform::CreateSharedForWrite(path.c_str());
    if (!file) {
        return false;
    }
    bool ok = platform::WriteAll(file, bytes.data(), bytes.size());
    if (ok && flush) {
        ok = platform::FlushToDisk(file);
    }
    platform::CloseFileHandle(file);
    return ok;
}

}  // namespace

Mutex& CacheFilesLock() {
    return cacheFilesLock;
}

const wchar_t* CachePath() {
    if (cachePath[0] == L'\0') {
        const HostServices* host = Host();
        const wchar_t* folder = host ? host->pathEntry(contract::kPathEntryCache) : nullptr;
        if (folder) {
            host->joinPath(cachePath, kPathChars, folder, kCacheName.data());
        }
    }
    return cachePath;
}

std::wstring CacheBackupPath() {
    // Not cut to a fixed size: a cut name could come out as the cache's own.
    return std::wstring(CachePath()) + L".backup";
}

std::wstring RejectedPath() {
    std::wstring path = CachePath();
    if (path.size() < kCacheName.size()) {
        return {};
    }
    return path.substr(0, path.size() - kCacheName.size()) + L"scrobble.rejected";
}

CacheContents ReadCache() {
    CacheContents contents;
    const HostServices* host = Host();
    const wchar_t* path = CachePath();
    if (!host || path[0] == L'\0' || !host->fileExists(path)) {
        return contents;
    }
    contents.state = CacheContents::State::Unreadable;
    void* reader = host->openForReading(path);
    if (!reader) {
        return contents;
    }
    bool failed = false;
    size_t lineStart = 0;
    // Zeroed once; after each read only what the read could have written is
    // zeroed again (a line of a few dozen bytes, not the whole chunk).
    char chunk[kChunkBytes] = {};
    while (!host->atEndOfFile(reader)) {
        if (!host->readLine(reader, chunk, kChunkBytes)) {
            // The end of the file shows only after a read that met it; any
            // other failure leaves lines unread, which must not be taken as
            // the end.
            failed = !host->atEndOfFile(reader);
            break;
        }
        // The chunk was zeroed, so its bytes up to a line feed, or up to the
        // last non-zero byte, are what was read, a zero byte in the line
        // included: a line is never joined with the next one.
        const auto* newline = static_cast<const char*>(std::memchr(chunk, '\n', kChunkBytes - 1));
        size_t length = kChunkBytes - 1;
        if (newline) {
            length = static_cast<size_t>(newline - chunk) + 1;
        } else {
            while (length > 0 && chunk[length - 1] == '\0') {
                --length;
            }
        }
        contents.bytes.append(chunk, length);
        std::memset(chunk, 0, std::min<size_t>(length + 1, kChunkBytes));
        if (newline) {
            size_t end = contents.bytes.size() - 1;
            if (end > lineStart && contents.bytes[end - 1] == '\r') {
                --end;
            }
            contents.lines.emplace_back(lineStart, end - lineStart);
            lineStart = contents.bytes.size();
        }
    }
    host->closeFile(reader);
    if (failed) {
        contents.bytes.clear();
        contents.lines.clear();
        return contents;
    }
    if (lineStart < contents.bytes.size()) {
        size_t end = contents.bytes.size();
        if (contents.bytes[end - 1] == '\r') {
            --end;
        }
        contents.lines.emplace_back(lineStart, end - lineStart);
    }
    contents.state = CacheContents::State::Read;
    return contents;
}

CacheLine ParseCacheEntry(std::string_view line) {
    CacheLine result;
    result.kind = CacheLineKind::CacheUnusable;
    const HostServices* host = Host();
    const ParsedCacheLine parsed = ParseCacheLine(line);
    if (!host || parsed.kind != CacheLineKind::CacheEntry ||
        parsed.name.find('\0') != std::string_view::npos) {
        return result;
    }
    const std::string name(parsed.name);
    wchar_t* wide = host->narrowToWide(name.c_str(), -1, kUtf8);
    if (!wide) {
        return result;
    }
    if (wide[0] != L'\0') {
        result.kind = CacheLineKind::CacheEntry;
        result.time = parsed.time;
        result.fileName = wide;
    }
    host->freeMemory(wide);
    return result;
}

bool AppendToCache(const wchar_t* fileName, int64_t startTime, bool startWithBreak) {
    const HostServices* host = Host();
    const wchar_t* path = CachePath();
    if (!host || path[0] == L'\0' || !fileName) {
        return false;
    }
    // The name is stored whole: a cut name could never be submitted.
    char* utf8 = host->wideToNarrow(fileName, -1, kUtf8);
    if (!utf8) {
        return false;
    }
    std::string line = startWithBreak ? "\r\n" : "";
    line += FormatCacheLine(startTime, utf8);
    host->freeMemory(utf8);
    return platform::AppendDurably(path, line.data(), line.size());
}

bool AppendLinesToCache(CacheContents& cache, const std::string& lines) {
    const wchar_t* path = CachePath();
    if (path[0] == L'\0') {
        return false;
    }
    // A file that could not be read may end in a torn line too.
    const bool torn = cache.state == CacheContents::State::Unreadable || !cache.EndsWithBreak();
    const std::string bytes = torn ? "\r\n" + lines : lines;
    if (!platform::AppendDurably(path, bytes.data(), bytes.size())) {
        return false;
    }
    if (cache.state == CacheContents::State::Unreadable) {
        return true;
    }
    cache.state = CacheContents::State::Read;
    size_t start = cache.bytes.size();
    cache.bytes += bytes;
    if (torn && !cache.lines.empty()) {
        start += 2;  // the torn line stays a line of its own, as a reader sees it
    }
    for (size_t end; (end = cache.bytes.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        cache.lines.emplace_back(start, end - start);
    }
    return true;
}

bool ReplaceCache(const std::string& previous, const std::string& content) {
    const std::wstring cache = CachePath();
    if (cache.empty()) {
        return false;
    }
    if (content.empty()) {
        return platform::DeleteFileAt(cache.c_str());
    }
    // The backup is a courtesy copy: the cache never depends on it. A second
    // name for the old file copies nothing; without links the bytes read are
    // written out. After a replacement that failed the backup may still be a
    // second name of the live cache, so it is never opened for writing: a
    // copy goes in under a name of its own and is renamed over it.
    const std::wstring backup = CacheBackupPath();
    platform::DeleteFileAt(backup.c_str());
    if (!platform::LinkFile(cache.c_str(), backup.c_str())) {
        const std::wstring copy = backup + L".tmp";
        if (!WriteWhole(copy, previous, false) ||
            !platform::MoveFileReplacing(copy.c_str(), backup.c_str())) {
            platform::DeleteFileAt(copy.c_str());
        }
    }
    // Until the rename the old cache stays whole; after it the new one is
    // whole: a crash at any moment leaves one of the two.
    const std::wstring temporary = cache + L".tmp";
    if (!WriteWhole(temporary, content, true)) {
        platform::DeleteFileAt(temporary.c_str());
        return false;
    }
    // Another program reading the cache without delete sharing (Windows)
    // blocks the rename for a moment.
    for (int attempt = 1;; ++attempt) {
        if (platform::MoveFileReplacingDurably(temporary.c_str(), cache.c_str())) {
            return true;
        }
        if (attempt == kReplaceAttempts) {
            break;
        }
        std::this_thread::sleep_for(kReplacePause);
    }
    platform::DeleteFileAt(temporary.c_str());
    return false;
}

bool AppendToRejected(const std::string& lines) {
    const std::wstring path = RejectedPath();
    if (path.empty() || lines.empty()) {
        return !path.empty();
    }
    platform::FileHandle file = platform::OpenSharedForAppend(path.c_str());
    if (!file) {
        return false;
    }
    const bool ok =
        platform::AppendAll(file, lines.data(), lines.size()) && platform::FlushToDisk(file);
    platform::CloseFileHandle(file);
    return ok;
}

std::string ReadRejected() {
    const std::wstring path = RejectedPath();
    const HostServices* host = Host();
    if (path.empty() || !host || !host->fileExists(path.c_str())) {
        return {};
    }
    void* reader = host->openForReading(path.c_str());
    if (!reader) {
        return {};
    }
    std::string bytes;
    char chunk[kChunkBytes] = {};
    while (!host->atEndOfFile(reader) && host->readLine(reader, chunk, kChunkBytes)) {
        // Rejected lines hold no zero bytes that matter: the text up to the
        // first zero is what the read gave.
        bytes.append(chunk, strnlen(chunk, kChunkBytes));
        std::memset(chunk, 0, kChunkBytes);
    }
    host->closeFile(reader);
    return bytes;
}

bool ReplaceRejected(const std::string& content) {
    const std::wstring path = RejectedPath();
    if (path.empty()) {
        return false;
    }
    if (content.empty()) {
        return platform::DeleteFileAt(path.c_str()) || !Host()->fileExists(path.c_str());
    }
    const std::wstring temporary = path + L".tmp";
    if (!WriteWhole(temporary, content, true) ||
        !platform::MoveFileReplacingDurably(temporary.c_str(), path.c_str())) {
        platform::DeleteFileAt(temporary.c_str());
        return false;
    }
    return true;
}

bool OwnsScrobbleCache() {
    MutexLock guard(profileLock.lock);
    if (profileLock.owner) {
        return true;
    }
    const HostServices* host = Host();
    if (!host) {
        return false;
    }
    // Without a cache folder there is no cache to keep, nor a lock to share.
    const wchar_t* folder = host->pathEntry(contract::kPathEntryCache);
    if (!folder) {
        return true;
    }
    host->createPath(folder);
    wchar_t path[kPathChars] = L"";
    host->joinPath(path, kPathChars, folder, L"scrobble.lock");
    // Asked again while another holds it: once that one quits, this one
    // takes over.
    bool heldElsewhere = false;
    profileLock.file = platform::TakeExclusiveLock(path, &heldElsewhere);
    // A lock that cannot be made (a read-only folder) stops nobody: only
    // another holder does.
    profileLock.owner = profileLock.file != nullptr || !heldElsewhere;
    return profileLock.owner;
}

}  // namespace kiln
