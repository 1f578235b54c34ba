#include "outputs/scrobbler_log.h"

#include <algorithm>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "outputs/output_text.h"
#include "platform/file.h"
#include "plugin/plugin.h"
#include "plugin/rules.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"

namespace kiln {
namespace {

constexpr int kMinimumLength = 30;
constexpr int64_t kFlatScrobblePoint = 240;

// A play noted at its start, written when it ends.
struct Entry {
    uint64_t serial = 0;
    int64_t startTime = 0;
    int lengthSeconds = 0;
    std::string artist, album, title, trackNumber, trackId;
};

// The worker notes and ends entries; quit may end the last one.
Mutex entryLock;
Entry pending GUARDED_BY(entryLock);

std::string Field(const wchar_t* format) {
    wchar_t out[kLineChars] = L"";
    if (const HostServices* host = Host()) {
        host->formatTitle(currentLocation, kLocationChars, format, out, kLineChars,
                          contract::kTitleModePlain, nullptr);
    }
    return LogField(ToUtf8(out));
}

// "L" for a play heard to the point a scrobbler would submit it, else "S".
const char* Rating(const Entry& entry, int64_t heard) {
    if (entry.lengthSeconds <= kMinimumLength) {
        return "S";
    }
    const int64_t point = std::min<int64_t>((entry.lengthSeconds + 1) / 2, kFlatScrobblePoint);
    return heard >= point ? "L" : "S";
}

void Write(const Entry& entry, int64_t heard) {
    const HostServices* host = Host();
    if (!host || entry.serial == 0 || entry.title.empty()) {
        return;
    }
    wchar_t path[kPathChars] = L"";
    const std::wstring folder = SettingText(historyFolder);
    host->createPath(folder.c_str());
    host->joinPath(path, kPathChars, folder.c_str(), L".scrobbler.log");
    platform::FileHandle file = platform::OpenSharedForAppend(path);
    if (!file) {
        return;
    }
    // Told by the size, not by the name: a crash between the file's creation
    // and its first write leaves an empty file, which still needs the header.
    std::string text;
    if (platform::SizeOfOpenFile(file) == 0) {
        text = "#AUDIOSCROBBLER/1.1\n#TZ/UTC\n#CLIENT/Kiln Log " + std::string(kVersionText) + "\n";
    }
    text += entry.artist + '\t' + entry.album + '\t' + entry.title + '\t' + entry.trackNumber +
            '\t' + (entry.lengthSeconds > 0 ? std::to_string(entry.lengthSeconds) : "") + '\t' +
            Rating(entry, heard) + '\t' + std::to_string(entry.startTime) + '\t' + entry.trackId +
            '\n';
    // One write per line, so a crash leaves whole lines only.
    platform::AppendAll(file, text.data(), text.size());
    platform::CloseFileHandle(file);
}

// Ends the entry of `play` (settled or live) if it is the one pending.
void End(const PlayIdentity& play) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    Entry entry;
    {
        MutexLock lock(entryLock);
        if (pending.serial == 0 || pending.serial > play.serial) {
            return;
        }
        entry = std::move(pending);
        pending = Entry{};
    }
    // Starts that came faster than the worker took them leave an older entry
    // pending: it was heard at most until `play` started.
    const int64_t heard = entry.serial == play.serial
                              ? PlayedSeconds(play, host->nowSeconds())
                              : std::max<int64_t>(play.startTime - entry.startTime, 0);
    Write(entry, heard);
}

}  // namespace

std::string LogField(const std::string& text) {
    std::string out = text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return out;
}

void ScrobblerLogPlayStarted() {
    End(PreviousPlay());
    if (!CurrentPlayReaches(kToLastfm)) {
        return;  // the rules keep this play from the record of scrobbles
    }
    const PlayIdentity play = CurrentPlay();
    Entry entry;
    entry.serial = play.serial;
    entry.startTime = play.startTime;
    entry.artist = Field(L"%artist%");
    entry.album = Field(L"%album%");
    entry.title = Field(L"%title%");
    entry.trackNumber = Field(L"%tracknumber%");
    entry.trackId = Field(L"%musicbrainz_trackid%");
    const std::string length = Field(L"%length_seconds%");
    entry.lengthSeconds = length.empty() ? 0 : std::atoi(length.c_str());
    MutexLock lock(entryLock);
    pending = std::move(entry);
}

void ScrobblerLogPlayStopped() {
    // The worker may come to a stop after a start that followed it: the
    // entry ended is the stopped play's.
    End(StoppedPlay());
}

void ScrobblerLogQuit() {
    End(CurrentPlay());
}

}  // namespace kiln
