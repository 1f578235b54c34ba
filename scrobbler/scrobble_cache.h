// The scrobble cache: plays that could not be submitted, one line each in
// "scrobble.cache" in the host's cache folder, oldest first, kept for the next
// submission. Only the event worker touches it.
#pragma once

#include <cstdint>
#include <string>

#include "scrobbler/cache_line.h"

namespace kiln {

struct CacheLine {
    CacheLineKind kind = CacheLineKind::CacheEnd;
    int64_t time = 0;
    std::wstring fileName;
};

// The cache file's path, computed on first use and kept; empty without a host.
const wchar_t* CachePath();
// CachePath() followed by ".backup".
std::wstring CacheBackupPath();

// Adds a line at the end, creating the file when needed.
void AppendToCache(const wchar_t* fileName, int64_t startTime);

// A byte-mode reader of the host, or null when the file cannot be opened.
void* OpenCacheForReading(const wchar_t* path);
// The next line, read whole whatever its length.
CacheLine ReadCacheLine(void* reader);
void CloseCacheReader(void* reader);

// Removes the first `consumed` lines (sent ones) and keeps the rest in order;
// the previous content stays in the backup file.
void RewriteCache(int consumed);
void DeleteCache();

}  // namespace kiln
