#include "services/track_info.h"

#include "services/text_services.h"

#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>
#include <time.h>

#include <array>
#include <cstdio>
#include <system_error>

namespace kiln::host {
namespace {

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 0x20) : c;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool IsVideoLocation(std::wstring_view location) {
    if (IsStreamLocation(location)) {
        location = location.substr(0, location.find_first_of(L"?#"));
    }
    size_t dot = location.rfind(L'.');
    size_t slash = location.find_last_of(L"/\\");
    if (dot == std::wstring_view::npos || (slash != std::wstring_view::npos && dot < slash)) {
        return false;
    }
    std::wstring ext;
    for (wchar_t c : location.substr(dot + 1)) {
        ext.push_back(AsciiLower(c));
    }
    static constexpr std::array<std::wstring_view, 7> kVideo = {L"mp4",  L"m4v", L"mkv", L"avi",
                                                                L"webm", L"mov", L"wmv"};
    for (std::wstring_view v : kVideo) {
        if (ext == v) {
            return true;
        }
    }
    return false;
}

std::wstring Widened(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::wstring LocalClock(int64_t seconds, const char* picture) {
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
#if defined(_WIN32)
    if (localtime_s(&local, &t) != 0) {
        return {};
    }
#else
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
#endif
    char text[64];
    size_t n = strftime(text, sizeof text, picture, &local);
    return Widened(std::string(text, n));
}

// TagLib keeps UTF-16 units, also in a 32-bit wchar_t; through UTF-8 a
// character beyond the first plane stays one character.
std::wstring FromTagLib(const TagLib::String& text) {
    return Utf8ToWide(text.to8Bit(true));
}

std::wstring PositiveNumber(int64_t value) {
    return value > 0 ? std::to_wstring(value) : std::wstring();
}

std::wstring FileSize(const std::filesystem::path& path) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
        return {};
    }
    uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? std::wstring() : std::to_wstring(size);
}

std::wstring FolderSize(const std::filesystem::path& path) {
    if (path.empty()) {
        return {};
    }
    std::error_code ec;
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        return {};
    }
    uintmax_t total = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) {
            break;
        }
        std::error_code entryError;
        if (it->is_regular_file(entryError)) {
            uintmax_t size = it->file_size(entryError);
            if (!entryError) {
                total += size;
            }
        }
    }
    return std::to_wstring(total);
}

}  // namespace

bool IsStreamLocation(std::wstring_view location) {
    size_t sep = location.find(L"://");
    if (sep == std::wstring_view::npos || sep < 2) {
        return false;
    }
    auto isLetter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    if (!isLetter(location[0])) {
        return false;
    }
    for (wchar_t c : location.substr(1, sep - 1)) {
        if (!isLetter(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.') {
            return false;
        }
    }
    return !StartsWithNoCase(location, L"file://");
}

std::filesystem::path LocalPath(std::wstring_view location) {
    if (location.empty() || IsStreamLocation(location)) {
        return {};
    }
    if (!StartsWithNoCase(location, L"file://")) {
        return std::filesystem::path(WideToUtf8(location));
    }
    std::string rest = WideToUtf8(location.substr(7));
    // file://host/path: only the local host has files we can open.
    if (rest.rfind("localhost/", 0) == 0) {
        rest.erase(0, 9);
    }
    return std::filesystem::path(text::PercentDecode(rest));
}

TrackInfo ReadTrackInfo(const std::wstring& path) {
    TrackInfo info;
    info.isVideo = IsVideoLocation(path);
    std::filesystem::path local = LocalPath(path);
    std::error_code ec;
    if (local.empty() || !std::filesystem::is_regular_file(local, ec)) {
        return info;
    }
    try {
        // Read-only: TagLib's default open asks for writing and lets others
        // only read, so on Windows a second reader of the file at the same
        // moment (the artwork thread and the worker on one item) is shut out.
        TagLib::FileStream stream(local.c_str(), true);
        TagLib::FileRef ref(&stream);
        if (ref.isNull()) {
            return info;
        }
        info.found = true;
        if (const TagLib::Tag* tag = ref.tag()) {
            info.title = FromTagLib(tag->title());
            info.artist = FromTagLib(tag->artist());
            info.album = FromTagLib(tag->album());
            info.genre = FromTagLib(tag->genre());
            info.comment = FromTagLib(tag->comment());
            info.year = PositiveNumber(tag->year());
            info.trackNumber = static_cast<int>(tag->track());
        }
        TagLib::PropertyMap properties = ref.file()->properties();
        auto albumArtist = properties.find("ALBUMARTIST");
        if (albumArtist != properties.end() && !albumArtist->second.isEmpty()) {
            info.albumArtist = FromTagLib(albumArtist->second.front());
        }
        auto trackId = properties.find("MUSICBRAINZ_TRACKID");
        if (trackId != properties.end() && !trackId->second.isEmpty()) {
            info.musicBrainzTrackId = FromTagLib(trackId->second.front());
        }
        if (const TagLib::AudioProperties* audio = ref.audioProperties()) {
            info.lengthSeconds = audio->lengthInSeconds();
            info.bitrate = audio->bitrate();
        }
    } catch (...) {
        // A file TagLib chokes on is an unreadable file, not a host failure.
        TrackInfo unread;
        unread.isVideo = info.isVideo;
        return unread;
    }
    return info;
}

std::wstring FormatLength(int seconds) {
    if (seconds <= 0) {
        return {};
    }
    char text[32];
    int h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) {
        snprintf(text, sizeof text, "%d:%02d:%02d", h, m, s);
    } else {
        snprintf(text, sizeof text, "%d:%02d", m, s);
    }
    return Widened(text);
}

ItemFields::ItemFields(std::wstring location, const TrackInfo& info, std::function<int64_t()> now)
    : location_(std::move(location)), info_(info), now_(std::move(now)) {}

bool ItemFields::Field(std::wstring_view name, std::wstring& value) const {
    std::wstring key;
    for (wchar_t c : name) {
        key.push_back(AsciiLower(c));
    }
    const TrackInfo& t = info_;
    if (key == L"artist") {
        value = t.artist;
    } else if (key == L"title") {
        value = t.title;
    } else if (key == L"album") {
        value = t.album;
    } else if (key == L"albumartist") {
        value = t.albumArtist;
    } else if (key == L"tracknumber") {
        value = PositiveNumber(t.trackNumber);
    } else if (key == L"genre") {
        value = t.genre;
    } else if (key == L"musicbrainz_trackid") {
        value = t.musicBrainzTrackId;
    } else if (key == L"year") {
        value = t.year;
    } else if (key == L"comment") {
        value = t.comment;
    } else if (key == L"filename") {
        value = location_;
    } else if (key == L"length") {
        value = FormatLength(t.lengthSeconds);
    } else if (key == L"length_seconds") {
        value = PositiveNumber(t.lengthSeconds);
    } else if (key == L"bitrate") {
        value = PositiveNumber(t.bitrate);
    } else if (key == L"type") {
        value = t.isVideo ? L"1" : L"0";
    } else if (key == L"date") {
        value = now_ ? LocalClock(now_(), "%d-%m-%Y") : std::wstring();
    } else if (key == L"time") {
        value = now_ ? LocalClock(now_(), "%H:%M:%S") : std::wstring();
    } else if (key == L"file_size") {
        value = FileSize(LocalPath(location_));
    } else if (key == L"folder_size") {
        value = FolderSize(LocalPath(location_));
    } else {
        return false;
    }
    return !value.empty();
}

}  // namespace kiln::host
