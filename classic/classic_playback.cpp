// Playback and metadata in a classic player: status and times from its IPC
// codes, an item's fields from TagLib, completed by what the player reports.
//
// Shared between threads: the fields of the items last asked for (filled by
// the worker, POST, preview and artwork threads, dropped when the main
// thread's notices say the item or its information changed), behind a lock.
// An item's fields are fetched once per start, not once per formatting call:
// each question to the player is a message its main thread must answer.
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "classic/classic_internal.h"
#include "core/thread_annotations.h"
#include "services/service_operations.h"
#include "services/text_services.h"
#include "services/track_info.h"

namespace kiln::classic {
namespace {

using namespace kiln::host;

std::wstring_view View(const wchar_t* text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

std::wstring PlayerField(const std::wstring& file, const wchar_t* name) {
    struct ExtendedInfoW {
        const wchar_t* filename;
        const wchar_t* metadata;
        wchar_t* ret;
        size_t retlen;  // characters or bytes, the SDK does not say: the smaller is safe
    };
    constexpr size_t kChars = 1024;
    wchar_t value[kChars] = L"";
    ExtendedInfoW query = {file.c_str(), name, value, kChars};
    if (Ipc(reinterpret_cast<WPARAM>(&query), kExtendedFileInfoW) == 1) {
        value[kChars - 1] = L'\0';
        return value;
    }
    return {};
}

TrackInfo FetchItemInfo(const std::wstring& file) {
    TrackInfo info = file.empty() ? TrackInfo{} : ReadTrackInfo(file);
    if (file.empty() || info.found) {
        return info;
    }
    // The player's decoders know formats and streams TagLib does not.
    if (PlayerHas(kVersion513)) {
        info.title = PlayerField(file, L"title");
        info.artist = PlayerField(file, L"artist");
        info.album = PlayerField(file, L"album");
        info.albumArtist = PlayerField(file, L"albumartist");
        info.trackNumber = TextToInt(PlayerField(file, L"track"));
        info.lengthSeconds = TextToInt(PlayerField(file, L"length")) / 1000;
    }
    if (info.title.empty() && PlayerHas(kVersion500) && file == PlayingFile()) {
        if (auto title = PlayerWideText(Ipc(0, kPlayingTitle), 4096)) {
            info.title = *title;
        }
    }
    info.found = !info.title.empty() || !info.artist.empty();
    return info;
}

// The fields of the items asked for since the last notice of a new item or
// of changed information.
Mutex infoLock;
uint64_t infoNotices GUARDED_BY(infoLock) = 0;
std::map<std::wstring, TrackInfo> infos GUARDED_BY(infoLock);

TrackInfo ItemInfo(const std::wstring& file) {
    uint64_t seen = 0;
    {
        MutexLock lock(infoLock);
        if (auto found = infos.find(file); found != infos.end()) {
            return found->second;
        }
        seen = infoNotices;
    }
    TrackInfo info = FetchItemInfo(file);
    MutexLock lock(infoLock);
    if (infoNotices == seen) {
        if (infos.size() >= 8) {
            infos.clear();
        }
        infos[file] = info;
    }
    return info;
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

const ItemSource kItems = {&PlayingFile, &ItemInfo, &Now};

int FormatTitleOp(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                  int outSize, int mode, const void*) {
    return FormatItemTitle(kItems, PlayingItem(kItems, location, locationSize), format, out,
                           outSize, mode);
}

int FormatTitleForFileOp(const wchar_t* file, const wchar_t* format, wchar_t* out, int outSize,
                         int mode) {
    return FormatItemTitle(kItems, std::wstring(View(file)), format, out, outSize, mode);
}

int PlaybackStatus() {
    return PlayerStatus();
}
int PlaybackPositionMs() {
    return static_cast<int>(Ipc(0, kOutputTime));
}

int CurrentLengthSeconds() {
    int seconds = static_cast<int>(Ipc(1, kOutputTime));
    if (seconds > 0) {
        return seconds;
    }
    std::wstring file = PlayingFile();
    return file.empty() || IsStreamLocation(file) ? 0 : ItemInfo(file).lengthSeconds;
}

int CurrentFile(wchar_t* out, int size) {
    return CopyToBuffer(PlayingFile(), out, size);
}

int GetMetadata(const wchar_t* file, const TrackMetadata** records, int* count, void** token) {
    return ItemMetadata(kItems, file, records, count, token);
}

int CurrentMetadataField(wchar_t* location, int locationSize, const wchar_t* field, wchar_t* out,
                         int outSize, const void*) {
    return ItemField(kItems, PlayingItem(kItems, location, locationSize), field, out, outSize);
}

int ArtworkKindIsPlaying(wchar_t* location, int locationSize) {
    PlayingItem(kItems, location, locationSize);
    return 0;
}

// A classic player offers no library lookup to general plug-ins.
int HasLocalLibrary() {
    return 0;
}
int LibraryLookup(const wchar_t*, const void*, int) {
    return 0;
}

}  // namespace

void NoteItemNotice(WPARAM wParam, LPARAM code) {
    const bool changed = code == kPlayingFileNotice || code == kPlayingFileNarrowNotice ||
                         code == kUpdateTitle || code == kTagsUpdatedNotice ||
                         code == kTagsUpdatedNoticeW ||
                         (code == kMiscNotice && (wParam == kMiscTitle || wParam == kMiscInfo));
    if (changed) {
        MutexLock lock(infoLock);
        ++infoNotices;
        infos.clear();
    }
}

void FillPlaybackOperations(HostServices& t) {
    t.formatTitle = &FormatTitleOp;
    t.formatTitleForFile = &FormatTitleForFileOp;
    t.playbackStatus = &PlaybackStatus;
    t.playbackPositionMs = &PlaybackPositionMs;
    t.currentLengthSeconds = &CurrentLengthSeconds;
    t.currentFile = &CurrentFile;
    t.getMetadata = &GetMetadata;
    t.currentMetadataField = &CurrentMetadataField;
    t.artworkKindIsPlaying = &ArtworkKindIsPlaying;
    t.hasLocalLibrary = &HasLocalLibrary;
    t.libraryLookup = &LibraryLookup;
}

}  // namespace kiln::classic
