// The operations of the service table that every host serves alike, straight
// from services/: a host fills its own operations and lets this fill the rest,
// so the hosts' tables cannot drift apart on what they share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/host_services.h"
#include "services/track_info.h"

namespace kiln::host {

// Sets the version and size and every operation that needs nothing of the
// host: escaping, stream tests, metadata release, text files, digests, text
// and numbers, memory, web requests, resource texts and the About credit.
void FillSharedOperations(HostServices& table);

// Host-allocated results are plain malloc blocks, released by freeMemory.
wchar_t* AllocWide(std::wstring_view text);

// How a host learns about items: the one now playing, an item's tags, and
// the clock of the date and time fields.
struct ItemSource {
    std::wstring (*playing)();
    TrackInfo (*info)(const std::wstring& file);
    int64_t (*now)();
};

// The item now playing; its location is also written into `location` when
// there is room.
std::wstring PlayingItem(const ItemSource& items, wchar_t* location, int locationSize);

// The title of `file` in `format` (modes of formatTitle); the characters
// written, 0 without a buffer.
int FormatItemTitle(const ItemSource& items, const std::wstring& file, const wchar_t* format,
                    wchar_t* out, int outSize, int mode);

// One field of `file` into `out`; the characters written, 0 when unknown.
int ItemField(const ItemSource& items, const std::wstring& file, const wchar_t* field, wchar_t* out,
              int outSize);

// getMetadata: at most one record, whose token goes back to the shared
// releaseMetadata. 0 on success, -1 on bad arguments.
int ItemMetadata(const ItemSource& items, const wchar_t* file, const TrackMetadata** records,
                 int* count, void** token);

}  // namespace kiln::host
