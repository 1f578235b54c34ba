#include "host/artwork.h"

namespace kiln::host {
namespace {

// Until images are read, every item answers "no image", at once.
int RequestArtwork(ArtworkService*, wchar_t*, const wchar_t*, void* user, int, ArtworkCallback callback) {
    if (callback) {
        callback(nullptr, 0, 0, nullptr, user);
    }
    return 0;
}

int RequestResized(ArtworkService* self, wchar_t* location, const wchar_t* kind, void* user, int, int,
                   int, int reserved, ArtworkCallback callback) {
    return RequestArtwork(self, location, kind, user, reserved, callback);
}

int CanWrite(ArtworkService*, const wchar_t*, const wchar_t*) { return 0; }

int WriteImage(ArtworkService*, const wchar_t*, int, int, const uint32_t*, int, const wchar_t*) { return 1; }

ArtworkService service = {&RequestArtwork, &RequestResized, &CanWrite, &WriteImage};

}  // namespace

ArtworkService* ArtworkServiceInstance() { return &service; }

void DrainArtworkCallbacks() {}

}  // namespace kiln::host
