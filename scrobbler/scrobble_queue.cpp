#include "scrobbler/scrobble_queue.h"

#include <atomic>
#include <cstdio>
#include <map>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "plugin/shared_state.h"
#include "scrobbler/scrobble_cache.h"

namespace kiln {
namespace {

constexpr int kUtf8 = contract::kCodePageUtf8;

Mutex attemptLock;
std::optional<SubmissionAttempt> lastAttempt GUARDED_BY(attemptLock);
std::atomic<bool> submissionRequested{false};
std::atomic<Window> queuePage{nullptr};

std::wstring Wide(const HostServices* host, const std::string& utf8) {
    wchar_t* wide = host->narrowToWide(utf8.c_str(), -1, kUtf8);
    if (!wide) {
        return {};
    }
    std::wstring out = wide;
    host->freeMemory(wide);
    return out;
}

std::string Utf8(const HostServices* host, const std::wstring& wide) {
    char* bytes = host->wideToNarrow(wide.c_str(), -1, kUtf8);
    if (!bytes) {
        return {};
    }
    std::string out = bytes;
    host->freeMemory(bytes);
    return out;
}

// A line's time and file, and the artist and title the host knows for it.
QueueLine Describe(const HostServices* host, std::string_view text, std::string_view line) {
    QueueLine out;
    out.text = std::string(text);
    const ParsedCacheLine parsed = ParseCacheLine(line);
    if (parsed.kind != CacheLineKind::CacheEntry) {
        out.file = Wide(host, std::string(line));
        return out;
    }
    out.time = parsed.time;
    out.file = Wide(host, std::string(parsed.name));
    const TrackMetadata* records = nullptr;
    int count = 0;
    void* token = nullptr;
    if (!out.file.empty()) {
        host->getMetadata(out.file.c_str(), &records, &count, &token);
    }
    if (count > 0 && records) {
        out.artist = records[0].artist ? records[0].artist : L"";
        out.title = records[0].title ? records[0].title : L"";
    }
    if (token) {
        host->releaseMetadata(token);
    }
    return out;
}

std::vector<std::string_view> Lines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// One of each wanted text, taken as met.
struct Wanted {
    std::map<std::string, int, std::less<>> counts;
    explicit Wanted(const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
            ++counts[text];
        }
    }
    bool Take(std::string_view text) {
        const auto found = counts.find(text);
        if (found == counts.end() || found->second == 0) {
            return false;
        }
        --found->second;
        return true;
    }
};

// "2023-11-14T22:13:20Z": the same in every time zone, and what a
// spreadsheet reads as a date.
std::string IsoDate(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days to a civil date (proleptic Gregorian), by eras of 400 years.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

void CsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

}  // namespace

QueueView ReadQueue() {
    QueueView view;
    const HostServices* host = Host();
    if (!host) {
        return view;
    }
    CacheContents cache;
    std::string rejected;
    {
        MutexLock files(CacheFilesLock());
        cache = ReadCache();
        rejected = ReadRejected();
    }
    view.cacheUnreadable = cache.state == CacheContents::State::Unreadable;
    for (size_t i = 0; i < cache.lines.size(); ++i) {
        const std::string_view line = cache.Line(i);
        if (!line.empty()) {
            view.waiting.push_back(Describe(host, line, line));
        }
    }
    for (std::string_view text : Lines(rejected)) {
        const RejectedLine split = SplitRejected(text);
        QueueLine entry = Describe(host, text, split.line);
        entry.reason = std::string(split.reason);
        view.rejected.push_back(std::move(entry));
    }
    return view;
}

QueueEdit RemoveFromQueue(const std::vector<std::string>& lines, int* removed) {
    int count = 0;
    if (removed) {
        *removed = 0;
    }
    if (!OwnsScrobbleCache()) {
        return QueueEdit::NotOwner;
    }
    MutexLock files(CacheFilesLock());
    const CacheContents cache = ReadCache();
    if (cache.state == CacheContents::State::Absent) {
        return QueueEdit::Done;  // sent meanwhile, all of it
    }
    if (cache.state != CacheContents::State::Read) {
        return QueueEdit::Failed;
    }
    Wanted wanted(lines);
    std::string content;
    for (size_t i = 0; i < cache.lines.size(); ++i) {
        const std::string_view line = cache.Line(i);
        if (wanted.Take(line)) {
            ++count;
        } else if (!line.empty()) {
            content.append(line).append("\r\n");
        }
    }
    if (count == 0) {
        return QueueEdit::Done;
    }
    if (!ReplaceCache(cache.bytes, content)) {
        return QueueEdit::Failed;
    }
    if (removed) {
        *removed = count;
    }
    return QueueEdit::Done;
}

QueueEdit MoveBackToQueue(const std::vector<std::string>& rejected, int* moved) {
    if (moved) {
        *moved = 0;
    }
    if (!OwnsScrobbleCache()) {
        return QueueEdit::NotOwner;
    }
    MutexLock files(CacheFilesLock());
    const std::string before = ReadRejected();
    Wanted wanted(rejected);
    std::string back, kept;
    int count = 0;
    for (std::string_view text : Lines(before)) {
        if (wanted.Take(text)) {
            back.append(SplitRejected(text).line).append("\r\n");
            ++count;
        } else {
            kept.append(text).append("\r\n");
        }
    }
    if (count == 0) {
        return QueueEdit::Done;
    }
    CacheContents cache = ReadCache();
    const std::string cacheBefore = cache.bytes;
    const bool cacheWasAbsent = cache.state == CacheContents::State::Absent;
    if (!AppendLinesToCache(cache, back)) {
        return QueueEdit::Failed;
    }
    if (!ReplaceRejected(kept)) {
        // Not in both files: the cache goes back to what it was. (A cache
        // that could not be read cannot be put back; its lines then stay
        // in both, and the worker's sent-line notes keep them from going
        // twice only within this run.)
        if (cache.state == CacheContents::State::Read) {
            ReplaceCache(cache.bytes, cacheWasAbsent ? std::string() : cacheBefore);
        }
        return QueueEdit::Failed;
    }
    if (moved) {
        *moved = count;
    }
    return QueueEdit::Done;
}

std::string QueueCsv(const QueueView& view) {
    const HostServices* host = Host();
    std::string out = "list,start_time,date,artist,title,file,reason\r\n";
    auto row = [&](const char* list, const QueueLine& line) {
        out += list;
        out += ',';
        out += line.time != 0 ? std::to_string(static_cast<long long>(line.time)) : "";
        out += ',';
        out += line.time != 0 ? IsoDate(line.time) : "";
        for (const std::wstring* field : {&line.artist, &line.title, &line.file}) {
            out += ',';
            CsvField(out, host ? Utf8(host, *field) : std::string());
        }
        out += ',';
        CsvField(out, line.reason);
        out += "\r\n";
    };
    for (const QueueLine& line : view.waiting) {
        row("waiting", line);
    }
    for (const QueueLine& line : view.rejected) {
        row("rejected", line);
    }
    return out;
}

void NoteSubmissionAttempt(int64_t when, ScrobbleOutcome outcome, int code) {
    MutexLock lock(attemptLock);
    lastAttempt = SubmissionAttempt{when, outcome, code};
}

std::optional<SubmissionAttempt> LastSubmissionAttempt() {
    MutexLock lock(attemptLock);
    return lastAttempt;
}

std::wstring OutcomeText(const SubmissionAttempt& attempt) {
    switch (attempt.outcome) {
        case ScrobbleOutcome::NotSent:
            return L"not sent (no connection could be made)";
        case ScrobbleOutcome::NoReply:
            return L"no reply";
        case ScrobbleOutcome::Unparsable:
        case ScrobbleOutcome::Unreadable:
            return L"the reply could not be read";
        case ScrobbleOutcome::ErrorReply:
            return L"error " + std::to_wstring(attempt.code);
        case ScrobbleOutcome::Rejected:
            return L"ignored by the service";
        case ScrobbleOutcome::Accepted:
            return L"accepted";
    }
    return L"";
}

void SetQueuePageWindow(Window page) {
    queuePage.store(page);
}

void NotifyQueuePage() {
    const HostServices* host = Host();
    const Window page = queuePage.load();
    if (host && page && host->isWindow(page)) {
        host->postMessage(page, kQueueChangedMessage, 0, 0);
    }
}

bool RequestQueueSubmission() {
    submissionRequested.store(true);
    return SignalWorker(WorkerEvent::ScrobbleDue);
}

bool TakeQueueSubmissionRequest() {
    return submissionRequested.exchange(false);
}

}  // namespace kiln
