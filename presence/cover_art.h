// Cover-art upload: the item's art as a JPEG in the host's cache folder,
// posted to the image cache on the host's web site, its address shown as the
// presence's large image.
//
// The presence never waits for the image. The text goes out at once (with the
// image when it is known already, else with the logo); a new item's art is
// asked of the host's artwork service, written and uploaded on a thread of its
// own, and a presence sent while it was pending is sent again with the image
// once the server has it, if that presence is still the newest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "presence/client_guard.h"
#include "presence_ipc/presence_client.h"

namespace kiln {

inline constexpr int kUploadIdentityChars = 16;
inline constexpr int kCoverArtLimit = 600;

// What is known of the image of one item.
struct ItemImage {
    enum Status { Pending, Ready, Logo };
    Status status = Logo;
    char address[80] = "";  // with Ready: the image's address on the server
};

// The image of the item `location` (its name as the host gave it) showing
// `text` (its presence text: a stream's item stays while its songs change).
// The first look at an item asks the host for its art and answers Pending (or
// Logo when the host refuses); later looks answer what came of it. Never waits.
ItemImage CoverArtForItem(const wchar_t* location, std::string_view text, const wchar_t* identity);

// `record` (version `version`) went out for `location` with the logo while its
// image was pending: once the image is on the server the record goes out again
// with it, unless a newer presence or a shutdown came meanwhile.
void AwaitCoverArt(const RichPresence& record, const PresenceVersion& version,
                   const wchar_t* location, std::string_view text);

// The artwork service's completion routine; `userData` is the request's job.
// It only copies the pixels and hands them to the upload thread.
int OnCoverArtReady(void* reserved, int width, int height, const uint32_t* pixels, void* userData);

// Art requests and uploads not finished yet (their follow-up sends included).
size_t CoverArtJobsInFlight();

// Quit: ends an upload under way (a transfer notices within about a second)
// and waits for its thread like the plug-in's other threads; until
// ReopenCoverArtUploads no upload starts.
void StopCoverArtUploadsForQuit();
void ReopenCoverArtUploads();

}  // namespace kiln
