// What the substitute host knows about one item: tags read with TagLib, and
// the title-format fields made from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "services/title_format.h"

namespace kiln::host {

struct TrackInfo {
    bool found = false;  // the file could be opened and read
    std::wstring title, album, artist, albumArtist, genre, year, comment;
    std::wstring musicBrainzTrackId;
    int trackNumber = 0;
    int lengthSeconds = 0;
    int bitrate = 0;  // kbit/s
    bool isVideo = false;
};

// True for a location with a URL scheme (a letter, then at least one more
// letter, digit, '+', '-' or '.') followed by "://", except file://. This is
// "not a local file" rather than "a network stream": cda:// and zip:// count
// too, and callers that treat those apart test for them themselves. A drive
// letter ("C:\...") has a one-letter scheme and stays local.
bool IsStreamLocation(std::wstring_view location);

// The file a local location names: the location itself, or the path of a
// file:// URL, percent-decoded. Empty for streams and empty locations.
std::filesystem::path LocalPath(std::wstring_view location);

// Tags and audio properties of a local file. Streams and files TagLib cannot
// read give found=false. isVideo follows the container's extension (.mp4
// .m4v .mkv .avi .webm .mov .wmv), for streams too.
TrackInfo ReadTrackInfo(const std::wstring& path);

// "m:ss", or "h:mm:ss" from an hour on; empty when seconds is 0 or less.
std::wstring FormatLength(int seconds);

// The fields of one item: artist, title, album, albumartist, tracknumber,
// genre, year, comment, musicbrainz_trackid, filename (the location as given), length, bitrate and
// type ("1" for video, else "0"), plus date and time (local, "dd-MM-yyyy" and
// "HH:mm:ss", from `now`), length_seconds, file_size and folder_size (bytes of
// the regular files directly in the item's folder). Sizes are read when asked
// for, so a template that does not use them costs no disk access.
class ItemFields : public TitleFieldSource {
  public:
    // now: seconds since 1970.
    ItemFields(std::wstring location, const TrackInfo& info, std::function<int64_t()> now);

    bool Field(std::wstring_view name, std::wstring& value) const override;

    const std::wstring& Location() const { return location_; }
    const TrackInfo& Info() const { return info_; }

  private:
    std::wstring location_;
    TrackInfo info_;
    std::function<int64_t()> now_;
};

}  // namespace kiln::host
