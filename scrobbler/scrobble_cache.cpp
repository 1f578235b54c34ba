#include "scrobbler/scrobble_cache.h"

#include <cstring>

#include "platform/file.h"
#include "plugin/host_services.h"

namespace kiln {
namespace {

constexpr int kPathChars = 260;
constexpr int kChunkBytes = 384;
// Longer than any path can be in UTF-8; a longer line is damage and is skipped.
constexpr size_t kMaxLineBytes = 128 * 1024;
constexpr int kUtf8 = 65001;

wchar_t cachePath[kPathChars] = L"";  // the event worker's only

}  // namespace

const wchar_t* CachePath() {
    if (cachePath[0] == L'\0') {
        const HostServices* host = Host();
        const wchar_t* folder = host ? host->pathEntry(40) : nullptr;
        if (folder) {
            host->joinPath(cachePath, kPathChars, folder, L"scrobble.cache");
        }
    }
    return cachePath;
}

std::wstring CacheBackupPath() {
    // Not cut to a fixed size: a cut name could come out as the cache's own.
    return std::wstring(CachePath()) + L".backup";
}

void AppendToCache(const wchar_t* fileName, int64_t startTime) {
    const HostServices* host = Host();
    const wchar_t* path = CachePath();
    if (!host || path[0] == L'\0' || !fileName) {
        return;
    }
    // The name is stored whole: a cut name could never be submitted.
    char* utf8 = host->wideToNarrow(fileName, -1, kUtf8);
    if (!utf8) {
        return;
    }
    const std::string line = FormatCacheLine(startTime, utf8);
    host->freeMemory(utf8);
    void* slot = nullptr;
    if (!host->fileExists(path)) {
        host->appendTextFile(&slot, path, nullptr, 0);
    }
    host->appendTextFile(&slot, path, line.c_str(), static_cast<int>(line.size()));
    host->closeTextFile(&slot);
}

void* OpenCacheForReading(const wchar_t* path) {
    const HostServices* host = Host();
    return host && path ? host->openForReading(path) : nullptr;
}

CacheLine ReadCacheLine(void* reader) {
    CacheLine result;
    const HostServices* host = Host();
    if (!host || !reader || host->atEndOfFile(reader)) {
        return result;
    }
    std::string line;
    bool tooLong = false;
    bool readSomething = false;
    for (;;) {
        char chunk[kChunkBytes];
        std::memset(chunk, 0, sizeof chunk);
        if (!host->readLine(reader, chunk, kChunkBytes)) {
            break;
        }
        readSomething = true;
        // The chunk was zeroed, so its bytes up to a line feed, or up to the
        // last non-zero byte, are what was read, a zero byte in the line
        // included: a line is never joined with the next one.
        const auto* newline = static_cast<const char*>(std::memchr(chunk, '\n', kChunkBytes - 1));
        size_t length = 0;
        if (newline) {
            length = static_cast<size_t>(newline - chunk) + 1;
        } else {
            length = kChunkBytes - 1;
            while (length > 0 && chunk[length - 1] == '\0') {
                --length;
            }
        }
        if (tooLong || line.size() + length > kMaxLineBytes) {
            tooLong = true;  // read on to the line's end, keep nothing of it
        } else {
            line.append(chunk, length);
        }
        if (newline || length < kChunkBytes - 1) {
            break;
        }
    }
    if (!readSomething) {
        return result;  // the read failed
    }
    result.kind = CacheLineKind::CacheUnusable;
    if (tooLong) {
        return result;
    }
    const ParsedCacheLine parsed = ParseCacheLine(line);
    if (parsed.kind != CacheLineKind::CacheEntry ||
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

void CloseCacheReader(void* reader) {
    const HostServices* host = Host();
    if (host && reader) {
        host->closeFile(reader);
    }
}

void RewriteCache(int consumed) {
    const std::wstring cache = CachePath();
    if (cache.empty()) {
        return;
    }
    const std::wstring backup = CacheBackupPath();
    if (!platform::MoveFileReplacing(cache.c_str(), backup.c_str())) {
        // Without the rename the backup is made by copying, and the cache is
        // rebuilt from it below. If either step fails the cache keeps every
        // line: plays sent again are better than unsent plays left only in
        // the backup, which nothing reads.
        if (!platform::CopyFileReplacing(cache.c_str(), backup.c_str()) ||
            !platform::DeleteFileAt(cache.c_str())) {
            return;
        }
    }
    void* reader = OpenCacheForReading(backup.c_str());
    if (!reader) {
        // The lines must not stay in the backup alone: put the file back.
        platform::MoveFileReplacing(backup.c_str(), cache.c_str());
        return;
    }
    int index = 0;
    for (;;) {
        CacheLine line = ReadCacheLine(reader);
        if (line.kind == CacheLineKind::CacheEnd) {
            break;
        }
        if (index++ < consumed) {
            continue;
        }
        if (line.kind == CacheLineKind::CacheEntry) {
            AppendToCache(line.fileName.c_str(), line.time);
        }
    }
    CloseCacheReader(reader);
}

void DeleteCache() {
    const wchar_t* path = CachePath();
    if (path[0] != L'\0') {
        platform::DeleteFileAt(path);
    }
}

}  // namespace kiln
