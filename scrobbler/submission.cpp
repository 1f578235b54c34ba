// When the scrobbler talks to the service and what it sends: the now-playing
// update at a play start, the submission once enough has been played, and
// the cache of plays that could not be sent.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "platform/window.h"
#include "plugin/playing_title.h"
#include "plugin/plugin.h"
#include "plugin/quit_signal.h"
#include "plugin/rules.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/timers.h"
#include "scrobbler/authorisation.h"
#include "scrobbler/scrobble_cache.h"
#include "scrobbler/scrobble_queue.h"
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

// What the submission says beyond the service's own replies.
constexpr const wchar_t* kSecondInstanceText =
    L"Scrobbling is off in this instance: another player (or another copy of this one) using "
    L"the same settings folder is already scrobbling & keeping the scrobble cache.\nClose the "
    L"other one & restart this one to scrobble from here.";
constexpr const wchar_t* kBacklogText =
    L"Scrobbles saved earlier are being sent, 50 at a time: %d still to send.";
constexpr const wchar_t* kUnwrittenText =
    L"Scrobbles couldn't be saved to the scrobble cache file, most likely as the disk is full. "
    L"%d waiting scrobble(s) are kept in memory & will be sent or saved again on the next "
    L"scrobble.\n\n%s";

// Batches of a backlog leave a second apart: a second of real time, or two
// ticks of the host's clock (which may run ahead of real time), whichever
// comes first.
constexpr auto kBatchPace = std::chrono::seconds(1);
constexpr int64_t kBatchPaceTicks = 2;
constexpr auto kPaceStep = std::chrono::milliseconds(20);

// What the cache file cannot say for itself. Only submissions touch it.
struct Journal {
    // Lines (without CR LF) of due plays that could not be written to the
    // cache: sent, or written, at the next submission.
    std::vector<std::string> unwritten;
    // Lines the service accepted that the cache file still holds, as it
    // could not be replaced: never sent again, dropped at the next
    // replacement that works.
    std::map<std::string, int> sent;
};
Mutex journalLock;
Journal journal GUARDED_BY(journalLock);

std::string LineText(int64_t startTime, const std::string& utf8Name) {
    std::string line = FormatCacheLine(startTime, utf8Name);
    line.resize(line.size() - 2);
    return line;
}

std::string WithBreaks(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out.append(line).append("\r\n");
    }
    return out;
}

// False when quit came first.
bool PaceNextBatch(const HostServices* host, int64_t sentAt) {
    const auto until = std::chrono::steady_clock::now() + kBatchPace;
    while (!QuitRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until || host->nowSeconds() >= sentAt + kBatchPaceTicks) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(kPaceStep, until - now));
    }
    return false;
}

// What becomes of a play (a cache line) after a request.
enum class Fate : unsigned char { Stay, Gone, SetAside };

Fate FateOf(ScrobbleOutcome outcome, int code) {
    if (RefusedForGood(outcome, code)) {
        return Fate::SetAside;
    }
    return outcome == ScrobbleOutcome::Accepted || outcome == ScrobbleOutcome::Rejected
               ? Fate::Gone
               : Fate::Stay;
}

struct BatchEnd {
    bool empty = false;    // nothing could be sent
    bool drainOn = false;  // every play of the batch went, the cache was updated, more wait
    size_t remaining = 0;  // plays still to send
};

// One request of up to 50 plays: the cache's lines first, then those kept in
// memory, then those written to a cache that could not be read back
// (`unread`); then the cache without what went.
BatchEnd SendBatch(const HostServices* host, const std::string& sessionKey,
                   const CacheContents& cache, const std::vector<std::string>& unread,
                   Journal& notes) {
    enum class Source : unsigned char { File, Memory, Unread };
    struct Item {
        Source source;
        size_t index;
        Track track;
        std::wstring file;
        Fate fate = Fate::Stay;
        int code = 0;  // the service's error, when it refused the play for good
    };
    const size_t lineCount = cache.state == CacheContents::State::Read ? cache.lines.size() : 0;
    std::vector<Fate> fates(lineCount, Fate::Stay);
    std::vector<std::string> fileReasons(lineCount);
    std::vector<bool> sentBefore(lineCount, false);
    std::map<std::string, int> sentMet;
    std::vector<Item> batch;
    std::wstring lastFile;
    // A line without a readable time and name, a time before 1970 or a file
    // without scrobbleable metadata can never be accepted.
    auto consider = [&](std::string_view text, Source source, size_t index, std::string& reason) {
        CacheLine entry = ParseCacheEntry(text);
        Track track;
        if (entry.kind != CacheLineKind::CacheEntry) {
            reason = kReasonUnreadable;
            return Fate::SetAside;
        }
        if (entry.time <= 0) {
            reason = kReasonNoTime;
            return Fate::SetAside;
        }
        const ScrobbleSkipReason skip = LookUp(host, entry.fileName, entry.time, track);
        if (skip != ScrobbleSkipReason::None) {
            reason = skip == ScrobbleSkipReason::Metadata ? kReasonNoTags : kReasonTooShort;
            return Fate::SetAside;
        }
        lastFile = entry.fileName;
        batch.push_back({source, index, std::move(track), std::move(entry.fileName)});
        return Fate::Stay;
    };
    for (size_t i = 0; i < lineCount && batch.size() < kBatchLimit; ++i) {
        const std::string_view text = cache.Line(i);
        if (text.empty()) {
            fates[i] = Fate::Gone;  // an empty line holds no play
            continue;
        }
        const auto sent =
            notes.sent.empty() ? notes.sent.end() : notes.sent.find(std::string(text));
        if (sent != notes.sent.end() && sentMet[sent->first] < sent->second) {
            ++sentMet[sent->first];
            fates[i] = Fate::Gone;
            sentBefore[i] = true;
            continue;
        }
        fates[i] = consider(text, Source::File, i, fileReasons[i]);
    }
    std::vector<Fate> memoryFates(notes.unwritten.size(), Fate::Stay);
    std::vector<std::string> memoryReasons(notes.unwritten.size());
    for (size_t k = 0; k < notes.unwritten.size() && batch.size() < kBatchLimit; ++k) {
        memoryFates[k] = consider(notes.unwritten[k], Source::Memory, k, memoryReasons[k]);
    }
    std::vector<Fate> unreadFates(unread.size(), Fate::Stay);
    std::vector<std::string> unreadReasons(unread.size());
    for (size_t k = 0; k < unread.size() && batch.size() < kBatchLimit; ++k) {
        unreadFates[k] = consider(unread[k], Source::Unread, k, unreadReasons[k]);
    }

    BatchEnd end;
    end.empty = batch.empty();
    if (!batch.empty() && !QuitRequested()) {
        std::vector<const Track*> tracks;
        for (const Item& item : batch) {
            tracks.push_back(&item.track);
        }
        int code = 0;
        const ScrobbleOutcome outcome = Send(tracks, true, sessionKey, lastFile, &code);
        NoteSubmissionAttempt(host->nowSeconds(), outcome, code);
        const bool oneByOne = RefusedForGood(outcome, code) && batch.size() > 1;
        for (Item& item : batch) {
            if (!oneByOne) {
                item.fate = FateOf(outcome, code);
                item.code = code;
                continue;
            }
            // One bad play refuses the whole batch: each play alone, once,
            // finds the ones to set aside; the others go or stay as usual.
            if (QuitRequested()) {
                break;  // what was not sent stays
            }
            int single = 0;
            const ScrobbleOutcome alone = Send({&item.track}, true, sessionKey, item.file, &single);
            item.fate = FateOf(alone, single);
            item.code = single;
            NoteSubmissionAttempt(host->nowSeconds(), alone, single);
        }
    }
    bool allWent = !batch.empty();
    for (const Item& item : batch) {
        allWent = allWent && item.fate != Fate::Stay;
        (item.source == Source::File     ? fates
         : item.source == Source::Memory ? memoryFates
                                         : unreadFates)[item.index] = item.fate;
        if (item.fate == Fate::SetAside) {
            (item.source == Source::File     ? fileReasons
             : item.source == Source::Memory ? memoryReasons
                                             : unreadReasons)[item.index] =
                std::string(kReasonRefusedPrefix) + std::to_string(item.code);
        }
    }

    // From here to the cache's replacement the page's edits wait: what it
    // removed stays removed, what it moved back stays, and a set-aside line
    // is never in both files for it to see.
    MutexLock files(CacheFilesLock());

    // Set-aside lines reach the disk before they leave the cache; while they
    // cannot, they stay where they are.
    std::string setAside;
    for (size_t i = 0; i < lineCount; ++i) {
        if (fates[i] == Fate::SetAside) {
            setAside.append(WithReason(cache.Line(i), fileReasons[i])).append("\r\n");
        }
    }
    for (size_t k = 0; k < memoryFates.size(); ++k) {
        if (memoryFates[k] == Fate::SetAside) {
            setAside.append(WithReason(notes.unwritten[k], memoryReasons[k])).append("\r\n");
        }
    }
    for (size_t k = 0; k < unreadFates.size(); ++k) {
        if (unreadFates[k] == Fate::SetAside) {
            setAside.append(WithReason(unread[k], unreadReasons[k])).append("\r\n");
        }
    }
    if (!setAside.empty() && !AppendToRejected(setAside)) {
        for (auto* list : {&fates, &memoryFates, &unreadFates}) {
            std::replace(list->begin(), list->end(), Fate::SetAside, Fate::Stay);
        }
        allWent = false;
    }
    // A line of a cache that could not be read back stays in it: it is only
    // kept from being sent again.
    for (size_t k = 0; k < unread.size(); ++k) {
        if (unreadFates[k] != Fate::Stay) {
            ++notes.sent[unread[k]];
        }
    }
    for (size_t k = memoryFates.size(); k-- > 0;) {
        if (memoryFates[k] != Fate::Stay) {
            notes.unwritten.erase(notes.unwritten.begin() + static_cast<ptrdiff_t>(k));
        }
    }

    bool replaced = true;
    const bool cacheChanged =
        std::any_of(fates.begin(), fates.end(), [](Fate fate) { return fate != Fate::Stay; });
    if (cacheChanged) {
        // The lines that went leave the cache as it is now, by what they
        // say, one for each that went: the page may have removed some or
        // moved others back while the request was out.
        std::map<std::string, int, std::less<>> went;
        for (size_t i = 0; i < lineCount; ++i) {
            if (fates[i] != Fate::Stay && !cache.Line(i).empty()) {
                ++went[std::string(cache.Line(i))];
            }
        }
        const CacheContents now = ReadCache();
        replaced = now.state != CacheContents::State::Unreadable;
        if (now.state == CacheContents::State::Read) {
            std::string content;
            content.reserve(now.bytes.size());
            for (size_t i = 0; i < now.lines.size(); ++i) {
                const std::string_view line = now.Line(i);
                const auto gone = went.find(line);
                if (gone != went.end() && gone->second > 0) {
                    --gone->second;
                } else if (!line.empty()) {
                    content.append(line).append("\r\n");
                }
            }
            replaced = content == now.bytes || ReplaceCache(now.bytes, content);
        }
        if (replaced) {
            for (const auto& [line, count] : sentMet) {
                if ((notes.sent[line] -= count) <= 0) {
                    notes.sent.erase(line);
                }
            }
        } else {
            // Still in the file, but never sent again.
            for (size_t i = 0; i < lineCount; ++i) {
                if (fates[i] != Fate::Stay && !sentBefore[i] && !cache.Line(i).empty()) {
                    ++notes.sent[std::string(cache.Line(i))];
                }
            }
        }
    }
    // Plays still to send: neither empty lines nor those sent already count.
    end.remaining = notes.unwritten.size();
    std::map<std::string, int> sentLeft = notes.sent;
    for (size_t i = 0; i < lineCount; ++i) {
        if (fates[i] != Fate::Stay || cache.Line(i).empty()) {
            continue;
        }
        if (sentLeft.empty()) {
            ++end.remaining;
            continue;
        }
        const auto sent = sentLeft.find(std::string(cache.Line(i)));
        if (sent != sentLeft.end() && sent->second > 0) {
            --sent->second;
            continue;
        }
        ++end.remaining;
    }
    end.drainOn = allWent && replaced && end.remaining > 0;
    NotifyQueuePage();
    return end;
}

// Lines the service took that a refused replacement left in the file (another
// program held it open) are only known in memory: quit tries once more to
// drop them, or the next start would send them again.
void DropSentLines(Journal& notes) REQUIRES(CacheFilesLock()) {
    if (notes.sent.empty()) {
        return;
    }
    const CacheContents cache = ReadCache();
    if (cache.state != CacheContents::State::Read) {
        return;
    }
    std::map<std::string, int> left = notes.sent;
    std::string content;
    bool dropped = false;
    for (size_t i = 0; i < cache.lines.size(); ++i) {
        const std::string line(cache.Line(i));
        const auto sent = left.find(line);
        if (sent != left.end() && sent->second > 0) {
            --sent->second;
            dropped = true;
        } else if (!line.empty()) {
            content.append(line).append("\r\n");
        }
    }
    if (dropped && ReplaceCache(cache.bytes, content)) {
        notes.sent.clear();
    }
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
    if (delay <= 0) {
        // Played enough already: a slow now-playing update held the worker
        // past the play's scrobble point, or it was paused after it. It is
        // due now; its serial keeps it from being due twice.
        doneSerial = current.serial;
        duePlays.push_back(current);
        lock.unlock();
        SignalWorker(WorkerEvent::ScrobbleDue);
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
                break;
            }
            play = std::move(duePlays.front());
            duePlays.pop_front();
        }
        SubmitPlay(play);
    }
    // Asked for from the queue page: the waiting plays, without a play of
    // its own (a due play's submission above has sent them already).
    if (TakeQueueSubmissionRequest()) {
        SubmitPlay(PlayIdentity{});
    }
}

void SubmitPlay(const PlayIdentity& play) {
    const HostServices* host = Host();
    const std::string sessionKey = SessionKeyCopy();
    if (!host || sessionKey.empty()) {
        return;
    }
    if (!OwnsScrobbleCache()) {
        SetScrobblerStatus(kSecondInstanceText, false);
        return;
    }
    MutexLock guard(journalLock);
    Track playTrack;
    const ScrobbleSkipReason playReason = LookUp(host, play.file, play.startTime, playTrack);
    if (playReason == ScrobbleSkipReason::None) {
        journal.unwritten.push_back(LineText(play.startTime, Utf8(host, play.file.c_str())));
    }
    // Write before sending: the due play (and any kept in memory) is on the
    // disk before a request that could make it lost leaves.
    CacheContents cache;
    std::vector<std::string> unread;
    {
        MutexLock files(CacheFilesLock());
        cache = ReadCache();
        if (!journal.unwritten.empty() &&
            AppendLinesToCache(cache, WithBreaks(journal.unwritten))) {
            if (cache.state == CacheContents::State::Unreadable) {
                unread = std::move(journal.unwritten);
            }
            journal.unwritten.clear();
        }
    }
    // The worker handles nothing else while a backlog drains: a new play
    // (whose start waits meanwhile) ends the drain, and its own submission
    // takes it up again.
    const uint64_t serial = CurrentPlaySerial();
    int64_t sentAt = host->nowSeconds();
    for (bool first = true;; first = false) {
        if (!first) {
            if (CurrentPlaySerial() != serial) {
                break;
            }
            if (!PaceNextBatch(host, sentAt)) {
                break;
            }
            cache = ReadCache();
            sentAt = host->nowSeconds();
        }
        const BatchEnd end = SendBatch(host, sessionKey, cache, unread, journal);
        unread.clear();
        if (end.empty && first && !play.file.empty()) {
            SetUnableStatus(playReason, play.file.c_str());
        }
        if (!end.drainOn || QuitRequested()) {
            break;
        }
        wchar_t status[kStatusChars];
        FormatWide(status, kStatusChars, kBacklogText, {static_cast<int>(end.remaining)});
        SetScrobblerStatus(status, false);
    }
    if (!journal.unwritten.empty()) {
        wchar_t status[kStatusChars];
        FormatWide(status, kStatusChars, kUnwrittenText,
                   {static_cast<int>(journal.unwritten.size()), PlayingTitle(play.file.c_str())});
        SetScrobblerStatus(status, false);
    }
}

void CacheDuePlays() {
    std::deque<PlayIdentity> left;
    {
        MutexLock lock(timerLock);
        left.swap(duePlays);
    }
    const HostServices* host = Host();
    if (!host || SessionKeyCopy().empty() || !OwnsScrobbleCache()) {
        return;
    }
    MutexLock guard(journalLock);
    for (const PlayIdentity& play : left) {
        // Only what a submission would have kept: a play that cannot be
        // scrobbled at all is not cached.
        Track track;
        if (LookUp(host, play.file, play.startTime, track) == ScrobbleSkipReason::None) {
            journal.unwritten.push_back(LineText(play.startTime, Utf8(host, play.file.c_str())));
        }
    }
    MutexLock files(CacheFilesLock());
    if (!journal.unwritten.empty()) {
        CacheContents cache = ReadCache();
        if (AppendLinesToCache(cache, WithBreaks(journal.unwritten))) {
            journal.unwritten.clear();
        }
    }
    DropSentLines(journal);
}

void ClaimScrobbleCache() {
    if (!OwnsScrobbleCache()) {
        SetScrobblerStatus(kSecondInstanceText, false);
    }
}

void ScrobbleOnPlayStarted() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const PlayIdentity play = CurrentPlay();
    if (!OwnsScrobbleCache()) {
        MarkPlayDone(play.serial);
        SetScrobblerStatus(kSecondInstanceText, false);
        return;
    }
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

void ScrobbleExcluded(int reason) {
    MarkPlayDone(CurrentPlay().serial);
    wchar_t status[kStatusChars];
    if (reason > 0) {
        FormatWide(status, kStatusChars, L"Not scrobbled: excluded by rule %d", {reason});
    } else {
        FormatWide(status, kStatusChars, L"%s",
                   {reason == kSkippedStream ? L"Not scrobbled: streams are skipped"
                                             : L"Not scrobbled: shorter than the minimum length"});
    }
    SetScrobblerStatus(status, false);
}

void ScrobbleOnUnpaused() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const PlayIdentity play = CurrentPlay();
    if (play.paused || !OwnsScrobbleCache()) {
        return;  // paused again meanwhile (the next resume arms), or not ours
    }
    const int length = host->currentLengthSeconds();
    if (length > kMinimumLength) {
        ArmScrobbleTimer(play, length);
    }
}

}  // namespace kiln
