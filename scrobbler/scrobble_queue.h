// The scrobble queue as the user sees and edits it: the plays waiting in the
// cache, the lines set aside in the rejected file, the last submission. Every
// edit goes through the cache's own code under its files lock, so the worker,
// submitting at the same moment, neither loses nor doubles a play.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/handles.h"
#include "scrobbler/service_reply.h"

namespace kiln {

struct QueueLine {
    std::string text;  // the line as in its file, without CR LF: its identity
    int64_t time = 0;  // 0 when unreadable
    std::wstring file;
    std::wstring artist, title;  // from the host's metadata, when it has some
    std::string reason;          // rejected lines: why they were set aside
};

struct QueueView {
    std::vector<QueueLine> waiting;   // oldest first
    std::vector<QueueLine> rejected;  // in the order they were set aside
    bool cacheUnreadable = false;     // the cache exists but could not be read
};
QueueView ReadQueue();

enum class QueueEdit { Done, NotOwner, Failed };
// Removes one waiting line for each of `lines` (by their text) that is still
// there; lines the worker has sent meanwhile are simply gone.
QueueEdit RemoveFromQueue(const std::vector<std::string>& lines, int* removed = nullptr);
// Moves the given rejected lines (their text as in the rejected file) that are
// still there back to the end of the queue, without their reason, as one step.
QueueEdit MoveBackToQueue(const std::vector<std::string>& rejected, int* moved = nullptr);

// Both lists as CSV: UTF-8, a header row, CR LF, RFC 4180 quoting.
std::string QueueCsv(const QueueView& view);

// The last request of a submission, as the worker noted it.
struct SubmissionAttempt {
    int64_t when = 0;
    ScrobbleOutcome outcome = ScrobbleOutcome::NotSent;
    int code = 0;  // the service's error, for an error reply
};
void NoteSubmissionAttempt(int64_t when, ScrobbleOutcome outcome, int code);
std::optional<SubmissionAttempt> LastSubmissionAttempt();
// "accepted", "error 11" …: what became of an attempt, for the page.
std::wstring OutcomeText(const SubmissionAttempt& attempt);

// The queue page's window, told (kQueueChangedMessage) when a submission
// has changed the files; null when no page is open.
inline constexpr unsigned kQueueChangedMessage = 0x8000 + 0x51;  // WM_APP + 0x51
void SetQueuePageWindow(Window page);
void NotifyQueuePage();

// Submit now: the worker sends the waiting plays at its next turn.
bool RequestQueueSubmission();
bool TakeQueueSubmissionRequest();

}  // namespace kiln
