#include "presence/cover_art.h"

#include <atomic>
#include <string>

#include "platform/file.h"
#include "plugin/curl_api.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/wide_format.h"
#include "plugin/worker.h"
#include "presence/utf8_cut.h"

namespace kiln {
namespace {

constexpr int kUtf8CodePage = 65001;
constexpr int kSystemCodePage = 0;
constexpr int kCacheEntry = 40;
constexpr int kDigestBytes = 65;
constexpr int kNarrowPathBytes = 1040;
constexpr int kResponseChars = 256;
constexpr int kUploadTimeoutSeconds = 10;
constexpr long kStatusCreated = 201;
constexpr const char kLogo[] = "logo";

// -- written only inside a cover-art callback, while coverArtBusy is held
wchar_t cachedArtFolder[kPathChars] = L"";
wchar_t cachedArtPath[kPathChars] = L"";
char uploadEndpoint[256] = "";

// The artwork service calls back one request at a time; should a host run two
// at once, the second leaves the cached file alone and goes out with "logo".
std::atomic<bool> coverArtBusy{false};

std::string Utf8Of(const HostServices* host, const wchar_t* text) {
    std::string out;
    if (char* converted = host->wideToNarrow(text, -1, kUtf8CodePage)) {
        out.assign(converted);
        host->freeMemory(converted);
    }
    return out;
}

std::string BaseAddress(const HostServices* host) {
    const char* base = host->webBaseAddress();
    return base ? std::string(base) : std::string();
}

void MakeCachedPath(const HostServices* host) {
    if (cachedArtPath[0] != L'\0') {
        return;
    }
    const wchar_t* cache = host->pathEntry(kCacheEntry);
    if (!cache || cache[0] == L'\0') {
        return;
    }
    host->joinPath(cachedArtFolder, kPathChars, cache, L"artcache");
    host->joinPath(cachedArtPath, kPathChars, cache, L"artcache\\discord.jpg");
}

void WriteResponse(const HostServices* host, const wchar_t* value) {
    host->writeTextSetting(kSettingsSection, L"discord_response", value);
}

// "<base>discord/cache/<identity>.jpg?<now>": the time makes every address
// new, so that Discord fetches the image again rather than showing its copy.
void SetImageAddress(const HostServices* host, CoverArtJob& job) {
    char now[16] = {};
    host->int64ToText(host->nowSeconds(), now, sizeof now);
    std::string address =
        BaseAddress(host) + "discord/cache/" + Utf8Of(host, job.identity) + ".jpg?" + now;
    CopyUtf8Field(job.record.largeImage, address);
}

void MakeEndpoint(const HostServices* host, const wchar_t* identity) {
    std::string endpoint = BaseAddress(host) + "discord/cache/?uid=" + Utf8Of(host, identity);
    CopyUtf8Field(uploadEndpoint, endpoint);
}

// Posts the cached file as "discord_user_image" with the identity as
// "filename". True only when the server answered 201 (stored).
bool Upload(const HostServices* host, const CoverArtJob& job) {
    void* handle = host->createWebHandle();
    if (!handle) {
        WriteResponse(host, L"err:0");
        return false;
    }
    if (uploadEndpoint[0] == '\0') {
        MakeEndpoint(host, job.identity);
    }
    char* errorText = nullptr;
    void* request = host->buildWebRequest(handle, 0, &errorText, nullptr, uploadEndpoint,
                                          kUploadTimeoutSeconds, nullptr);
    bool uploaded = false;
    const CurlApi* curl = Curl();
    curl_mime* form = curl ? curl->mimeInit(static_cast<CURL*>(handle)) : nullptr;
    if (!form) {
        WriteResponse(host, L"err:1");
    } else if (curl_mimepart* image = curl->mimeAddPart(form); !image) {
        WriteResponse(host, L"err:2");
        curl->mimeFree(form);
    } else {
        curl->mimeName(image, "discord_user_image");
        char path[kNarrowPathBytes] = "";
        if (char* narrow = host->wideToNarrow(cachedArtPath, -1, kSystemCodePage)) {
            CopyUtf8Field(path, narrow);
            host->freeMemory(narrow);
        }
        // The part's file name is the file's own, "discord.jpg".
        curl->mimeFileData(image, path);
        char* identity = nullptr;
        if (curl_mimepart* field = curl->mimeAddPart(form)) {
            curl->mimeName(field, "filename");
            identity = host->wideToNarrow(job.identity, -1, kSystemCodePage);
            curl->mimeData(field, identity ? identity : "", CURL_ZERO_TERMINATED);
        }
        host->setWebOptionPointer(handle, static_cast<int>(CURLOPT_MIMEPOST), form);
        int result = host->performWebRequest(&handle);
        long status = host->webResponseCode(handle);
        if (result == 0 && status == kStatusCreated) {
            uploaded = true;
            WriteResponse(host, nullptr);
        } else {
            const char* reason = errorText && errorText[0] != '\0' ? errorText : "<empty>";
            wchar_t response[kResponseChars];
            FormatWide(response, kResponseChars, L"%d,%d,%hs", {result, status, reason});
            WriteResponse(host, response);
        }
        if (identity) {
            host->freeMemory(identity);
        }
        curl->mimeFree(form);
    }
    host->freeWebRequest(handle, request, errorText);
    return uploaded;
}

// Writes the art to the cached file and, when it differs from what the file
// held, uploads it; sets the job's large image to the image's address when
// the server has it.
void PrepareImage(const HostServices* host, CoverArtJob& job, int width, int height,
                  const uint32_t* pixels) {
    MakeCachedPath(host);
    if (cachedArtPath[0] == L'\0') {
        return;
    }
    char oldDigest[kDigestBytes] = "";
    host->fileDigest(cachedArtPath, oldDigest, kDigestBytes);
    ArtworkService* service = Descriptor().artworkService;
    if (!pixels || width <= 0 || height <= 0 || !service || !service->writeImage) {
        platform::DeleteFileAt(cachedArtPath);
        return;
    }
    host->createPath(cachedArtFolder);
    if (service->writeImage(service, cachedArtPath, width, height, pixels, 0, L"jpg") != 0) {
        platform::DeleteFileAt(cachedArtPath);
        return;
    }
    char newDigest[kDigestBytes] = "";
    host->fileDigest(cachedArtPath, newDigest, kDigestBytes);
    if (newDigest[0] != '\0' && host->textEqualUtf8(oldDigest, newDigest) != 0) {
        SetImageAddress(host, job);  // the server has this image already
        return;
    }
    if (Upload(host, job)) {
        SetImageAddress(host, job);
        return;
    }
    CopyUtf8Field(job.record.largeImage, kLogo);
    // Forgotten, so that the same image is offered to the server again next
    // time rather than taken as already there.
    platform::DeleteFileAt(cachedArtPath);
}

}  // namespace

bool RequestCoverArt(CoverArtJob* job) {
    const HostServices* host = Host();
    ArtworkService* service = Descriptor().artworkService;
    if (!host || !service || !service->requestResizedArtwork) {
        return false;
    }
    const wchar_t* kind =
        host->artworkKindIsPlaying(currentLocation, kLocationChars) != 0 ? L"playing" : L"cover";
    // A callback that runs inside the request, on this thread, finds no lock
    // of ours held: the send takes it by itself.
    return service->requestResizedArtwork(service, currentLocation, kind, job, kCoverArtLimit,
                                          kCoverArtLimit, 0, 0, &OnCoverArtReady) == 0;
}

int OnCoverArtReady(void*, int width, int height, const uint32_t* pixels, void* userData) {
    auto* job = static_cast<CoverArtJob*>(userData);
    if (!job) {
        return 0;
    }
    const HostServices* host = Host();
    if (host && !coverArtBusy.exchange(true)) {
        PrepareImage(host, *job, width, height, pixels);
        coverArtBusy.store(false);
    }
    SendPresenceRecord(job->record, job->version);
    if (host && job->location) {
        host->freeMemory(job->location);
    }
    delete job;
    return 0;
}

}  // namespace kiln
