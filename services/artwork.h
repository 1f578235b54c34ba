// The host's artwork service object (descriptor field 12).
//
// Requests are taken at once and served in order on one host artwork thread:
// the picture at the player's art address when it gave one, else the picture
// embedded in the item's tags (ID3v2 in MP3, WAV and AIFF, FLAC
// pictures, MP4 "covr"), else a cover.* or folder.* image beside the file,
// decoded to 32-bit ARGB and fitted to the asked size. The completion routine
// runs on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/host_services.h"

namespace kiln::host {

ArtworkService* ArtworkServiceInstance();

// The item a request without a location is about: the one playing. Set once by
// the program around the service, before the first request.
void SetCurrentItemSource(std::function<std::wstring()> source);
// The picture address a player gave for the item playing (file://, http://
// or https://), tried before the item's own pictures. Empty: none.
void SetCurrentArtSource(std::function<std::string()> source);

// Waits until every artwork callback that was queued has run, then lets the
// artwork thread go (it starts again with the next request). The host calls it
// before unloading the plug-in, whose code the callbacks enter. A callback
// that calls it returns at once: it cannot wait for itself.
void DrainArtworkCallbacks();

// Callbacks that have returned since the process started. Reading it orders
// the caller after those callbacks, so a test may look at what they wrote.
uint64_t ArtworkCallbacksDelivered();

}  // namespace kiln::host
