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
    char digest[65] = {};  // of the image written for this job
};

// Asks the host's artwork service for the art of the item now playing.
// True when the request was taken: OnCoverArtReady then owns the job, sends
// its record and releases everything. False: the caller still owns the job.
bool RequestCoverArt(CoverArtJob* job);

// The artwork service's completion routine; `userData` is the CoverArtJob.
// It never waits for the network: an upload runs on a thread of its own,
// which sends the job's presence when it ends, and a job that arrives while
// an upload runs goes out at once with the logo.
int OnCoverArtReady(void* reserved, int width, int height, const uint32_t* pixels, void* userData);

// Quit: ends an upload under way (a transfer notices within about a second)
// and waits for its thread like the plug-in's other threads; until
// ReopenCoverArtUploads no upload starts.
void StopCoverArtUploadsForQuit();
void ReopenCoverArtUploads();

}  // namespace kiln
