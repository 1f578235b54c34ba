// When the scrobbler talks to the service and what it sends: the now-playing
// update at a play start, the submission once enough has been played, and
// the cache of plays that could not be sent.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "outputs/now_playing.h"
#include "platform/window.h"
#include "plugin/host_services.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/wide_format.h"
#include "plugin/worker.h"
#include "scrobbler/authorisation.h"
#include "scrobbler/scrobble_cache.h"
#include "scrobbler/service_request.h"
#include "scrobbler/status.h"
#include "scrobbler/worker_steps.h"

namespace kiln {
namespace {

constexpr int kBatchLimit = 50;
constexpr int kMinimumLength = 30;
constexpr int kFlatDelaySeconds = 240;
constexpr int kUtf8 = 65001;
constexpr int kLibraryQueryBytes = 176;
constexpr size_t kLibraryQueryMarkOffset = 160;
constexpr int64_t kLibraryQueryMark = 1337;

enum class ScrobbleSkipReason { None = 0, Metadata = 1, TooShort = 2, Rejected = 3 };

// Set when this play is not to be scrobbled (the library rule, a rejected
// now-playing update), so that an unpause does not arm its timer again.
// Worker thread only.
bool currentPlaySkipped = false;

struct ScrobbleEntry {
    std::wstring fileName;
    int64_t startTime = 0;
};

std::string Utf8(const HostServices* host, const wchar_t* text) {
    if (!text) {
        return {};
    }
    char* bytes = host->wideToNarrow(text, -1, kUtf8);
    if (!bytes) {
        return {};
    }
    std::string out(bytes);
    host->freeMemory(bytes);
    return out;
}

std::wstring CurrentFile(const HostServices* host) {
    wchar_t file[kPathChars] = L"";
    host->currentFile(file, kPathChars);
    return file;
}

// Looks an entry up and, when it can be scrobbled, adds its parameters
// (indexed for a submission). Returns why it cannot be, and its length.
ScrobbleSkipReason AddTrack(const HostServices* host, const ScrobbleEntry& entry, bool submission,
                            int index, ScrobbleParams& params, int* lengthOut) {
    const TrackMetadata* records = nullptr;
    int count = 0;
    void* token = nullptr;
    host->getMetadata(entry.fileName.c_str(), &records, &count, &token);
    const TrackMetadata* record = count > 0 && records ? &records[0] : nullptr;
    ScrobbleSkipReason reason = ScrobbleSkipReason::None;
    if (!record || record->lengthSeconds <= kMinimumLength) {
        reason = ScrobbleSkipReason::TooShort;
    } else {
        const std::string artist = Utf8(host, record->artist);
        const std::string title = Utf8(host, record->title);
        if (entry.fileName.empty() || artist.empty() || title.empty()) {
            reason = ScrobbleSkipReason::Metadata;
        } else {
            auto name = [&](const char* base) {
                if (!submission) {
                    return std::string(base);
                }
                char indexed[16];
                std::snprintf(indexed, sizeof indexed, "%s[%d]", base, index);
                return std::string(indexed);
            };
            params[name("artist")] = artist;
            params[name("track")] = title;
            const std::string album = Utf8(host, record->album);
            if (!album.empty()) {
                params[name("album")] = album;
            }
            const std::string albumArtist = Utf8(host, record->albumArtist);
            if (!albumArtist.empty() && !host->textEqual(record->albumArtist, record->artist)) {
                params[name("albumArtist")] = albumArtist;
            }
            params[name("duration")] = std::to_string(record->lengthSeconds);
            if (submission && entry.startTime > 0) {
                params[name("timestamp")] = std::to_string(static_cast<long long>(entry.startTime));
            }
            if (record->trackNumber > 0) {
                params[name("trackNumber")] = std::to_string(record->trackNumber);
            }
            if (lengthOut) {
                *lengthOut = record->lengthSeconds;
            }
        }
    }
    if (token) {
        host->releaseMetadata(token);
    }
    return reason;
}

void SetStatusWithTitle(const wchar_t* format, const wchar_t* file) {
    wchar_t status[kStatusChars];
    FormatWide(status, kStatusChars, format, {PlayingTitle(file)});
    SetScrobblerStatus(status, false);
}

void SetUnableStatus(ScrobbleSkipReason reason, const wchar_t* file) {
    const wchar_t* detail = reason == ScrobbleSkipReason::Metadata
                                ? L"\nCheck playing item has valid artist & title metadata."
                            : reason == ScrobbleSkipReason::TooShort
                                ? L"\nPlaying item is too short to be scrobbled."
                                : L"";
    wchar_t status[kStatusChars];
    FormatWide(status, kStatusChars, L"Unable to create the scrobbling event.%s\n\n%s",
               {detail, PlayingTitle(file)});
    SetScrobblerStatus(status, false);
}

bool InLocalLibrary(const HostServices* host, const wchar_t* file) {
    // The host takes a query record of its own layout; only the mark is ours.
    alignas(8) unsigned char query[kLibraryQueryBytes] = {};
    const int64_t mark = kLibraryQueryMark;
    std::memcpy(query + kLibraryQueryMarkOffset, &mark, sizeof mark);
    return host->libraryLookup(file, query, kLibraryQueryBytes) != 0;
}

}  // namespace

int64_t ScrobbleTimerDelay(int64_t startTime, int lengthSeconds, int64_t pausedSeconds,
                           int64_t now) {
    const auto half = static_cast<int64_t>(std::ceil(static_cast<float>(lengthSeconds) * 0.5f));
    if (half > kFlatDelaySeconds) {
        return kFlatDelaySeconds;
    }
    return half - std::max<int64_t>(pausedSeconds, 0) - (now - startTime);
}

void ArmScrobbleTimer(int64_t startTime, int lengthSeconds, int64_t pausedSeconds) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const int64_t delay =
        ScrobbleTimerDelay(startTime, lengthSeconds, pausedSeconds, host->nowSeconds());
    // Past its scrobble point (paused after it, then resumed): nothing is due.
    if (delay < 0) {
        return;
    }
    if (platform::SetWindowTimer(HostWindow(), kScrobbleTimerId,
                                 static_cast<unsigned>(delay * 1000), &ScrobbleTimerRoutine)) {
        scrobbleTimerSet.store(true);
    }
}

void ScrobbleTimerRoutine(Window, unsigned, uintptr_t timerId, uint32_t) {
    if (timerId != kScrobbleTimerId) {
        return;
    }
    StopScrobbleTimer();
    SignalWorker(WorkerEvent::ScrobbleDue);
}

void SubmitToScrobbler(bool submission) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const std::string sessionKey = SessionKeyCopy();
    if (sessionKey.empty()) {
        return;
    }
    const std::wstring cachePath = CachePath();
    const bool cacheExists = !cachePath.empty() && host->fileExists(cachePath.c_str()) != 0;
    const ScrobbleEntry current{CurrentFile(host), playStartTime.load()};

    ScrobbleParams params;
    int count = 0;
    int consumed = 0;
    ScrobbleSkipReason currentReason = ScrobbleSkipReason::None;
    bool currentEvaluated = false;
    bool cacheExhausted = false;
    int currentLength = 0;
    std::wstring lastFile;

    const bool readCache = submission && cacheExists;
    void* reader = readCache ? OpenCacheForReading(cachePath.c_str()) : nullptr;
    // A cache that exists but cannot be read now is left alone: it is not
    // taken as sent, so it is not deleted after the current play goes out.
    const bool cacheRead = reader != nullptr;
    if (readCache && !reader) {
        cacheExhausted = true;
    }
    for (;;) {
        if (count >= kBatchLimit) {
            break;
        }
        ScrobbleEntry entry;
        bool fromCache = false;
        if (reader && !cacheExhausted) {
            CacheLine line = ReadCacheLine(reader);
            if (line.kind == CacheLineKind::CacheUnusable) {
                ++consumed;
                continue;
            }
            if (line.kind == CacheLineKind::CacheEntry) {
                entry = ScrobbleEntry{std::move(line.fileName), line.time};
                fromCache = true;
            } else {
                cacheExhausted = true;
            }
        }
        if (!fromCache) {
            entry = current;
        }
        int length = 0;
        const ScrobbleSkipReason reason = AddTrack(host, entry, submission, count, params, &length);
        if (reason == ScrobbleSkipReason::None) {
            ++count;
        }
        lastFile = entry.fileName;
        if (!fromCache) {
            currentEvaluated = true;
            currentReason = reason;
            currentLength = length;
            break;
        }
        ++consumed;
    }
    if (reader) {
        CloseCacheReader(reader);
    }

    ScrobbleOutcome outcome = ScrobbleOutcome::NotSent;
    if (params.empty()) {
        SetUnableStatus(currentReason, current.fileName.c_str());
    } else {
        params["method"] = submission ? "track.scrobble" : "track.updateNowPlaying";
        params["api_key"] = ScrobbleApiKey;
        params["sk"] = sessionKey;
        outcome = PostToScrobbleService(BuildSignedBody(params), submission, lastFile.c_str());
        if (outcome == ScrobbleOutcome::Rejected) {
            StopScrobbleTimer();
            if (!submission) {
                currentReason = ScrobbleSkipReason::Rejected;
                currentPlaySkipped = true;
            }
        }
    }

    if (!submission) {
        // Also after a failed update: the submission then goes to the cache
        // if it fails too.
        if (currentReason == ScrobbleSkipReason::None) {
            ArmScrobbleTimer(current.startTime, currentLength, 0);
        }
        return;
    }
    const bool sent = outcome == ScrobbleOutcome::Accepted ||
                      outcome == ScrobbleOutcome::Rejected || params.empty();
    if (sent) {
        if (!cacheRead) {
            return;
        }
        if (cacheExhausted) {
            DeleteCache();
        } else {
            RewriteCache(consumed);
            AppendToCache(current.fileName.c_str(), current.startTime);
        }
        return;
    }
    if (!(currentEvaluated && currentReason != ScrobbleSkipReason::None)) {
        AppendToCache(current.fileName.c_str(), current.startTime);
    }
}

void ScrobbleOnPlayStarted() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    currentPlaySkipped = false;
    const int flags = scrobbleFlags.load();
    const std::wstring file = CurrentFile(host);
    if (host->hasLocalLibrary() && (flags & 4) != 0) {
        if (host->isStream(file.c_str()) || !InLocalLibrary(host, file.c_str())) {
            currentPlaySkipped = true;
            SetStatusWithTitle(
                L"Currently playing item will not be scrobbled as it was not found in the local "
                L"library database.\n\n%s",
                file.c_str());
            return;
        }
    }
    if ((flags & 2) != 0) {
        SubmitToScrobbler(false);
        return;
    }
    const int length = host->currentLengthSeconds();
    if (length > kMinimumLength) {
        ArmScrobbleTimer(playStartTime.load(), length, 0);
        SetStatusWithTitle(
            L"Currently playing item will be scrobbled once enough of it has played & the "
            L"required metadata is available.\n\n%s",
            file.c_str());
    } else {
        SetUnableStatus(ScrobbleSkipReason::TooShort, file.c_str());
    }
}

void ScrobbleOnUnpaused() {
    const HostServices* host = Host();
    if (!host || currentPlaySkipped) {
        return;
    }
    const int length = host->currentLengthSeconds();
    if (length > kMinimumLength) {
        ArmScrobbleTimer(host->nowSeconds(), length, pausedElapsed.load());
    }
}

}  // namespace kiln
