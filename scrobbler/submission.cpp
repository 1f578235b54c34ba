// When the scrobbler talks to the service and what it sends: the now-playing
// update at a play start, the submission once enough has been played, and
// the cache of plays that could not be sent.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "platform/window.h"
#include "plugin/playing_title.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/timers.h"
#include "scrobbler/authorisation.h"
#include "scrobbler/scrobble_cache.h"
#include "scrobbler/service_request.h"
#include "scrobbler/status.h"
#include "scrobbler/worker_steps.h"

namespace kiln {
namespace {

constexpr size_t kBatchLimit = 50;
constexpr int kMinimumLength = 30;
constexpr int kFlatDelaySeconds = 240;
constexpr int kUtf8 = contract::kCodePageUtf8;
constexpr int kLibraryQueryBytes = 176;
constexpr size_t kLibraryQueryMarkOffset = 160;
constexpr int64_t kLibraryQueryMark = 1337;

enum class ScrobbleSkipReason { None = 0, Metadata = 1, TooShort = 2 };

// One track's parameters, named without index.
struct Track {
    std::vector<std::pair<const char*, std::string>> params;
    int lengthSeconds = 0;
};

// The timer and the plays it made due. The worker arms, the timer routine
// (host's main thread) fires; a play is made due at most once.
Mutex timerLock;
PlayIdentity armedPlay GUARDED_BY(timerLock);
// The latest play made due or set aside (rejected now-playing update, not in
// the library): it is never armed for again.
uint64_t doneSerial GUARDED_BY(timerLock) = 0;
std::deque<PlayIdentity> duePlays GUARDED_BY(timerLock);

void MarkPlayDone(uint64_t serial) {
    MutexLock lock(timerLock);
    doneSerial = std::max(doneSerial, serial);
}

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

// Looks a file up; when it can be scrobbled, fills its parameters (with the
// timestamp when it is above 0) and returns None.
ScrobbleSkipReason LookUp(const HostServices* host, const std::wstring& file, int64_t timestamp,
                          Track& track) {
    const TrackMetadata* records = nullptr;
    int count = 0;
    void* token = nullptr;
    host->getMetadata(file.c_str(), &records, &count, &token);
    const TrackMetadata* record = count > 0 && records ? &records[0] : nullptr;
    ScrobbleSkipReason reason = ScrobbleSkipReason::None;
    if (!record || record->lengthSeconds <= kMinimumLength) {
        reason = ScrobbleSkipReason::TooShort;
    } else {
        std::string artist = Utf8(host, record->artist);
        std::string title = Utf8(host, record->title);
        if (file.empty() || artist.empty() || title.empty()) {
            reason = ScrobbleSkipReason::Metadata;
        } else {
            track.params.emplace_back("artist", std::move(artist));
            track.params.emplace_back("track", std::move(title));
            std::string album = Utf8(host, record->album);
            if (!album.empty()) {
                track.params.emplace_back("album", std::move(album));
            }
            std::string albumArtist = Utf8(host, record->albumArtist);
            if (!albumArtist.empty() && !host->textEqual(record->albumArtist, record->artist)) {
                track.params.emplace_back("albumArtist", std::move(albumArtist));
            }
            track.params.emplace_back("duration", std::to_string(record->lengthSeconds));
            if (timestamp > 0) {
                track.params.emplace_back("timestamp",
                                          std::to_string(static_cast<long long>(timestamp)));
            }
            if (record->trackNumber > 0) {
                track.params.emplace_back("trackNumber", std::to_string(record->trackNumber));
            }
            track.lengthSeconds = record->lengthSeconds;
        }
    }
    if (token) {
        host->releaseMetadata(token);
    }
    return reason;
}

// Signs and sends tracks: indexed for a submission, one without index for a
// now-playing update. errorCode receives the "error" of an error reply.
ScrobbleOutcome Send(const std::vector<const Track*>& tracks, bool submission,
                     const std::string& sessionKey, const std::wstring& lastFile, int* errorCode) {
    ScrobbleParams params;
    int index = 0;
    for (const Track* track : tracks) {
        for (const auto& [name, value] : track->params) {
            if (submission) {
                params[std::string(name) + '[' + std::to_string(index) + ']'] = value;
            } else {
                params[name] = value;
            }
        }
        ++index;
    }
    params["method"] = submission ? "track.scrobble" : "track.updateNowPlaying";
    params["api_key"] = ScrobbleApiKey;
    params["sk"] = sessionKey;
    return PostToScrobbleService(BuildSignedBody(params), submission, lastFile.c_str(), errorCode);
}

// Retrying cannot change these refusals: an invalid parameter, an invalid
// signature (a value that cannot be encoded).
bool RefusedForGood(ScrobbleOutcome outcome, int code) {
    return outcome == ScrobbleOutcome::ErrorReply && (code == 6 || code == 13);
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

void SendNowPlaying(const PlayIdentity& play) {
    const HostServices* host = Host();
    const std::string sessionKey = SessionKeyCopy();
    if (!host || sessionKey.empty()) {
        return;
    }
    Track track;
    const ScrobbleSkipReason reason = LookUp(host, play.file, 0, track);
    if (reason != ScrobbleSkipReason::None) {
        SetUnableStatus(reason, play.file.c_str());
        return;
    }
    const ScrobbleOutcome outcome = Send({&track}, false, sessionKey, play.file, nullptr);
    if (outcome == ScrobbleOutcome::Rejected) {
        MarkPlayDone(play.serial);  // the service said it will not take this play
        return;
    }
    // Also after a failed update: the submission then goes to the cache if it
    // fails too. Nothing is armed for a play that has changed meanwhile.
    ArmScrobbleTimer(play, track.lengthSeconds);
}

}  // namespace

int64_t ScrobbleTimerDelay(int64_t resumedAt, int lengthSeconds, int64_t playedSeconds,
                           int64_t now) {
    const auto half = static_cast<int64_t>(std::ceil(static_cast<float>(lengthSeconds) * 0.5f));
    // Time played counts for long items too: a flat 240 s after each resume
    // would make a play due again after it was submitted.
    return std::min<int64_t>(half, kFlatDelaySeconds) - std::max<int64_t>(playedSeconds, 0) -
           (now - resumedAt);
}

void ArmScrobbleTimer(const PlayIdentity& play, int lengthSeconds) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const int64_t now = host->nowSeconds();
    MutexLock lock(timerLock);
    // Only the current play, running and not yet due, is armed for; the time
    // it has played is taken afresh.
    const PlayIdentity current = CurrentPlay();
    if (play.serial == 0 || current.serial != play.serial || current.paused ||
        play.serial <= doneSerial) {
        return;
    }
    const int64_t delay =
        ScrobbleTimerDelay(current.resumedAt, lengthSeconds, current.playedSeconds, now);
    // Past its scrobble point (paused after it, then resumed): nothing is due.
    if (delay < 0) {
        return;
    }
    armedPlay = current;
    scrobbleTimerSet.store(true);
    ScheduleTimer(kScrobbleTimerId, static_cast<unsigned>(delay * 1000), &ScrobbleTimerRoutine,
                  current.serial);
}

void ScrobbleTimerRoutine(Window, unsigned, uintptr_t timerId, uint32_t) {
    if (timerId != kScrobbleTimerId) {
        return;
    }
    StopScrobbleTimer();
    bool due = false;
    {
        MutexLock lock(timerLock);
        const PlayIdentity current = CurrentPlay();
        // A timer that outlived its play (a slow update armed it after a
        // skip) or fired during a pause does nothing; the resume arms again.
        if (armedPlay.serial != 0 && armedPlay.serial == current.serial && !current.paused &&
            armedPlay.serial > doneSerial) {
            doneSerial = armedPlay.serial;
            duePlays.push_back(std::move(armedPlay));
            due = true;
        }
        armedPlay = PlayIdentity{};
    }
    if (due) {
        SignalWorker(WorkerEvent::ScrobbleDue);
    }
}

void SubmitToScrobbler(bool submission) {
    if (!submission) {
        SendNowPlaying(CurrentPlay());
        return;
    }
    for (;;) {
        PlayIdentity play;
        {
            MutexLock lock(timerLock);
            if (duePlays.empty()) {
                return;
            }
            play = std::move(duePlays.front());
            duePlays.pop_front();
        }
        SubmitPlay(play);
    }
}

void SubmitPlay(const PlayIdentity& play) {
    const HostServices* host = Host();
    const std::string sessionKey = SessionKeyCopy();
    if (!host || sessionKey.empty()) {
        return;
    }
    const CacheContents cache = ReadCache();
    const bool cacheRead = cache.state == CacheContents::State::Read;
    const size_t lineCount = cacheRead ? cache.lines.size() : 0;

    // What becomes of each cache line; lines past the batch stay.
    enum class Fate : unsigned char { Stay, Gone, SetAside };
    std::vector<Fate> fates(lineCount, Fate::Stay);
    struct Item {
        size_t line;  // lineCount: the due play
        Track track;
        std::wstring file;
    };
    std::vector<Item> batch;
    std::wstring lastFile;
    size_t next = 0;
    for (; next < lineCount && batch.size() < kBatchLimit; ++next) {
        const std::string_view text = cache.Line(next);
        if (text.empty()) {
            fates[next] = Fate::Gone;  // an empty line holds no play
            continue;
        }
        CacheLine entry = ParseCacheEntry(text);
        Track track;
        // A line without a readable time and name, a time before 1970 or a
        // file without scrobbleable metadata can never be accepted.
        if (entry.kind != CacheLineKind::CacheEntry || entry.time <= 0 ||
            LookUp(host, entry.fileName, entry.time, track) != ScrobbleSkipReason::None) {
            fates[next] = Fate::SetAside;
            continue;
        }
        lastFile = entry.fileName;
        batch.push_back({next, std::move(track), std::move(entry.fileName)});
    }
    // The due play joins the batch when the cache did not fill it.
    const bool playEvaluated = next == lineCount;
    ScrobbleSkipReason playReason = ScrobbleSkipReason::None;
    if (playEvaluated) {
        Track track;
        playReason = LookUp(host, play.file, play.startTime, track);
        lastFile = play.file;
        if (playReason == ScrobbleSkipReason::None) {
            batch.push_back({lineCount, std::move(track), play.file});
        }
    }

    Fate playFate = Fate::Stay;
    auto settle = [&](const Item& item, ScrobbleOutcome outcome, int code) {
        const Fate fate =
            RefusedForGood(outcome, code) ? Fate::SetAside
            : outcome == ScrobbleOutcome::Accepted || outcome == ScrobbleOutcome::Rejected
                ? Fate::Gone
                : Fate::Stay;
        (item.line == lineCount ? playFate : fates[item.line]) = fate;
    };
    if (batch.empty()) {
        SetUnableStatus(playReason, play.file.c_str());
    } else {
        std::vector<const Track*> tracks;
        for (const Item& item : batch) {
            tracks.push_back(&item.track);
        }
        int code = 0;
        const ScrobbleOutcome outcome = Send(tracks, true, sessionKey, lastFile, &code);
        const bool oneByOne = RefusedForGood(outcome, code) && batch.size() > 1;
        for (const Item& item : batch) {
            if (!oneByOne) {
                settle(item, outcome, code);
                continue;
            }
            // One bad play refuses the whole batch: each play alone, once,
            // finds the ones to set aside; the others go or stay as usual.
            int single = 0;
            const ScrobbleOutcome alone = Send({&item.track}, true, sessionKey, item.file, &single);
            settle(item, alone, single);
        }
    }

    // The due play is kept unless it went, was set aside or cannot be
    // scrobbled at all.
    const bool keepPlay =
        playFate == Fate::Stay && !(playEvaluated && playReason != ScrobbleSkipReason::None);
    const std::string playUtf8 = Utf8(host, play.file.c_str());
    std::string setAside;
    bool cacheChanged = false;
    for (size_t i = 0; i < lineCount; ++i) {
        cacheChanged = cacheChanged || fates[i] != Fate::Stay;
        if (fates[i] == Fate::SetAside) {
            setAside.append(cache.Line(i)).append("\r\n");
        }
    }
    if (playFate == Fate::SetAside) {
        setAside += FormatCacheLine(play.startTime, playUtf8);
    }
    // Set-aside lines reach the disk before they leave the cache.
    if (!setAside.empty()) {
        AppendToRejected(setAside);
    }
    if (cacheChanged) {
        std::string content;
        content.reserve(cache.bytes.size() + playUtf8.size() + 32);
        for (size_t i = 0; i < lineCount; ++i) {
            if (fates[i] == Fate::Stay) {
                content.append(cache.Line(i)).append("\r\n");
            }
        }
        if (keepPlay) {
            content += FormatCacheLine(play.startTime, playUtf8);
        }
        if (ReplaceCache(cache.bytes, content) || !keepPlay) {
            return;
        }
        // The old cache was left whole; the due play is added to it.
    } else if (!keepPlay) {
        return;
    }
    // A file that could not be read may end in a torn line too.
    AppendToCache(play.file.c_str(), play.startTime,
                  cache.state == CacheContents::State::Unreadable || !cache.EndsWithBreak());
}

void CacheDuePlays() {
    std::deque<PlayIdentity> left;
    {
        MutexLock lock(timerLock);
        left.swap(duePlays);
    }
    const HostServices* host = Host();
    if (!host || left.empty() || SessionKeyCopy().empty()) {
        return;
    }
    for (const PlayIdentity& play : left) {
        // Only what a submission would have kept: a play that cannot be
        // scrobbled at all is not cached.
        Track track;
        if (LookUp(host, play.file, play.startTime, track) == ScrobbleSkipReason::None) {
            const CacheContents cache = ReadCache();
            AppendToCache(
                play.file.c_str(), play.startTime,
                cache.state == CacheContents::State::Unreadable || !cache.EndsWithBreak());
        }
    }
}

void ScrobbleOnPlayStarted() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const PlayIdentity play = CurrentPlay();
    const int flags = scrobbleFlags.load();
    if (host->hasLocalLibrary() && (flags & kScrobbleLibraryOnly) != 0) {
        if (host->isStream(play.file.c_str()) || !InLocalLibrary(host, play.file.c_str())) {
            MarkPlayDone(play.serial);
            SetStatusWithTitle(
                L"Currently playing item will not be scrobbled as it was not found in the local "
                L"library database.\n\n%s",
                play.file.c_str());
            return;
        }
    }
    if ((flags & kScrobbleNowPlaying) != 0) {
        SendNowPlaying(play);
        return;
    }
    const int length = host->currentLengthSeconds();
    if (length > kMinimumLength) {
        ArmScrobbleTimer(play, length);
        SetStatusWithTitle(
            L"Currently playing item will be scrobbled once enough of it has played & the "
            L"required metadata is available.\n\n%s",
            play.file.c_str());
    } else {
        SetUnableStatus(ScrobbleSkipReason::TooShort, play.file.c_str());
    }
}

void ScrobbleOnUnpaused() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const PlayIdentity play = CurrentPlay();
    if (play.paused) {
        return;  // paused again meanwhile; the next resume arms
    }
    const int length = host->currentLengthSeconds();
    if (length > kMinimumLength) {
        ArmScrobbleTimer(play, length);
    }
}

}  // namespace kiln
