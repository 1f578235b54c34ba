// Cover-art upload: the item's art as a JPEG in the host's cache folder,
// posted to the image cache on the host's web site, its address put into the
// presence before it is sent.
#pragma once

#include <cstdint>

#include "presence/client_guard.h"
#include "presence_ipc/presence_client.h"

namespace kiln {

inline constexpr int kUploadIdentityChars = 16;
inline constexpr int kCoverArtLimit = 600;

// One cover-art request. It carries its own copy of the composed record, so
// the worker can compose the next event while the callback still works on
// this one (the copy's buttonUrl points into `location`).
struct CoverArtJob {
    RichPresence record{};
    PresenceVersion version;
    char* location = nullptr;  // UTF-8 name of the item, host-allocated, may be null
    wchar_t identity[kUploadIdentityChars] = {};
};

// Asks the host's artwork service for the art of the item now playing.
// True when the request was taken: OnCoverArtReady then owns the job, sends
// its record and releases everything. False: the caller still owns the job.
bool RequestCoverArt(CoverArtJob* job);

// The artwork service's completion routine; `userData` is the CoverArtJob.
int OnCoverArtReady(void* reserved, int width, int height, const uint32_t* pixels, void* userData);

}  // namespace kiln
