// The scrobble cache: plays that could not be submitted, one line each in
// "scrobble.cache" in the host's cache folder, oldest first, kept for the next
// submission. The event worker reads and rewrites it; the queue page edits
// it too, under the same lock.
//
// The file is complete on disk at every moment: it only grows by appending
// whole lines, and it only shrinks by being replaced whole (a temporary file,
// flushed, then renamed over it). Plays that can never be accepted move to
// "scrobble.rejected" beside it, in the same line format, for the user.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/thread_annotations.h"
#include "scrobbler/cache_line.h"

namespace kiln {

struct CacheLine {
    CacheLineKind kind = CacheLineKind::CacheEnd;
    int64_t time = 0;
    std::wstring fileName;
};

// The cache file's path, computed on first use and kept; empty without a host.
const wchar_t* CachePath();
// CachePath() followed by ".backup": the cache as it was before its last
// replacement. Nothing reads it back; it is kept for the user.
std::wstring CacheBackupPath();
// "scrobble.rejected" beside the cache.
std::wstring RejectedPath();

// The cache as one submission reads it, in one pass.
struct CacheContents {
    enum class State {
        Absent,      // no cache file
        Unreadable,  // it exists, but could not be opened or read to its end
        Read,
    };
    State state = State::Absent;
    std::string bytes;                             // the whole file (Read)
    std::vector<std::pair<size_t, size_t>> lines;  // offset and length, without CR LF

    std::string_view Line(size_t index) const {
        return std::string_view(bytes).substr(lines[index].first, lines[index].second);
    }
    // A write cut short leaves the last line without its line break.
    bool EndsWithBreak() const { return bytes.empty() || bytes.back() == '\n'; }
};
CacheContents ReadCache();

// Held around every change of the cache and the rejected file in this
// process, and around each read that a change is computed from: the worker's
// submissions and the queue page's edits then never interleave, so a play is
// neither lost nor doubled between them. Never held across a web request.
Mutex& CacheFilesLock();

// A line as read: a time and a file name converted to wide text, or unusable.
CacheLine ParseCacheEntry(std::string_view line);

// Adds a line at the end, creating the file when needed, and returns once it
// is on the disk; false when it could not be written (nothing of it is then
// left in the file). startWithBreak: the file ends with a torn line, which
// the new line must not be glued to.
bool AppendToCache(const wchar_t* fileName, int64_t startTime, bool startWithBreak = false);
// Adds whole lines (each ending in CR LF) as AppendToCache does, after the
// cache as `cache` read it; on success `cache` holds them too, as if read.
bool AppendLinesToCache(CacheContents& cache, const std::string& lines) REQUIRES(CacheFilesLock());

// Replaces the cache with `content` (whole lines), keeping the old file as
// the backup (`previous`, the bytes read, is written where it cannot be
// linked); an empty content deletes the cache. False when the old cache was
// left as it was.
bool ReplaceCache(const std::string& previous, const std::string& content)
    REQUIRES(CacheFilesLock());

// Adds whole lines at the end of the rejected file and flushes them to disk.
// Each line is "time,file name", then a tab and why it was set aside
// (WithReason): after the name, so that a reader taking the time from the
// start of the line still does.
bool AppendToRejected(const std::string& lines) REQUIRES(CacheFilesLock());
// The rejected file's bytes; empty when there is none or it cannot be read.
std::string ReadRejected() REQUIRES(CacheFilesLock());
// Replaces the rejected file with `content` (empty: deletes it).
bool ReplaceRejected(const std::string& content) REQUIRES(CacheFilesLock());

// Whether this instance may scrobble and write the cache: the first call
// takes an exclusive lock on "scrobble.lock" in the cache folder, which the
// instance keeps until it is unloaded. A second instance on the same profile
// (another player, or a second copy of this one) gets false. Any thread.
bool OwnsScrobbleCache();

}  // namespace kiln
