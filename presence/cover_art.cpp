#include "presence/cover_art.h"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "core/host_contract.h"
#include "core/thread_annotations.h"

#include "core/wide_format.h"
#include "platform/file.h"
#include "plugin/curl_api.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "presence/utf8_cut.h"

namespace kiln {
namespace {

constexpr int kUtf8CodePage = contract::kCodePageUtf8;
constexpr int kSystemCodePage = 0;
constexpr int kCacheEntry = contract::kPathEntryCache;
constexpr int kDigestBytes = 65;
constexpr int kNarrowPathBytes = 1040;
constexpr int kResponseChars = 256;
constexpr int kUploadTimeoutSeconds = 10;
constexpr long kStatusCreated = 201;
constexpr const char kLogo[] = "logo";
// An image whose upload failed is not offered again for this long, so that a
// host that does not answer costs one time-out, not one per playback event.
constexpr int64_t kRetryAfterFailureSeconds = 60;

// -- written only inside a cover-art callback, while coverArtBusy is held
wchar_t cachedArtFolder[kPathChars] = L"";
wchar_t cachedArtPath[kPathChars] = L"";
char uploadEndpoint[256] = "";

// The artwork service calls back one request at a time; should a host run two
// at once, the second leaves the cached file alone and goes out with "logo".
std::atomic<bool> coverArtBusy{false};

// The upload thread reads the cached file; while it runs, callbacks leave the
// file alone.
Mutex uploadLock;
ThreadHandle uploadThread GUARDED_BY(uploadLock) = nullptr;
bool uploading GUARDED_BY(uploadLock) = false;
bool uploadsClosed GUARDED_BY(uploadLock) = false;
char failedDigest[kDigestBytes] GUARDED_BY(uploadLock) = "";
int64_t failedAt GUARDED_BY(uploadLock) = 0;

bool RecentlyFailed(const HostServices* host, const char* digest) {
    MutexLock lock(uploadLock);
    return failedDigest[0] != '\0' && std::strcmp(failedDigest, digest) == 0 &&
           host->nowSeconds() - failedAt < kRetryAfterFailureSeconds;
}

// libcurl asks this during the transfer (at least about once a second):
// a job overtaken by a newer composition, a shutdown or quit stops its upload.
int UploadProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* job = static_cast<const CoverArtJob*>(data);
    return PresenceCompositionOvertaken(job->version.sequence) ? 1 : 0;
}

void Release(const HostServices* host, CoverArtJob* job) {
    if (host && job->location) {
        host->freeMemory(job->location);
    }
    delete job;
}

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
        host->setWebOptionLong(handle, static_cast<int>(CURLOPT_NOPROGRESS), 0);
        host->setWebOptionPointer(handle, static_cast<int>(CURLOPT_XFERINFOFUNCTION),
                                  reinterpret_cast<const void*>(&UploadProgress));
        host->setWebOptionPointer(handle, static_cast<int>(CURLOPT_XFERINFODATA), &job);
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

// Writes the art to the cached file and sets the job's large image to the
// image's address when the server has it already. True when the image is
// new to the server and is to be uploaded.
bool PrepareImage(const HostServices* host, CoverArtJob& job, int width, int height,
                  const uint32_t* pixels) {
    MakeCachedPath(host);
    if (cachedArtPath[0] == L'\0') {
        return false;
    }
    char oldDigest[kDigestBytes] = "";
    host->fileDigest(cachedArtPath, oldDigest, kDigestBytes);
    ArtworkService* service = Descriptor().artworkService;
    if (!pixels || width <= 0 || height <= 0 || !service || !service->writeImage) {
        platform::DeleteFileAt(cachedArtPath);
        return false;
    }
    host->createPath(cachedArtFolder);
    if (service->writeImage(service, cachedArtPath, width, height, pixels, 0, L"jpg") != 0) {
        platform::DeleteFileAt(cachedArtPath);
        return false;
    }
    host->fileDigest(cachedArtPath, job.digest, kDigestBytes);
    if (RecentlyFailed(host, job.digest)) {
        // Not offered again right away; not kept either, so that it does
        // not pass for an image the server has.
        platform::DeleteFileAt(cachedArtPath);
        return false;
    }
    if (job.digest[0] != '\0' && host->textEqualUtf8(oldDigest, job.digest) != 0) {
        SetImageAddress(host, job);  // the server has this image already
        return false;
    }
    return true;
}

unsigned UploadMain(void* argument) {
    auto* job = static_cast<CoverArtJob*>(argument);
    const HostServices* host = Host();
    const bool uploaded = Upload(host, *job);
    const bool overtaken = PresenceCompositionOvertaken(job->version.sequence);
    if (uploaded) {
        SetImageAddress(host, *job);
    } else {
        CopyUtf8Field(job->record.largeImage, kLogo);
        // Forgotten, so that the same image is offered to the server again
        // later rather than taken as already there.
        platform::DeleteFileAt(cachedArtPath);
    }
    {
        MutexLock lock(uploadLock);
        if (uploaded) {
            failedDigest[0] = '\0';
        } else if (!overtaken) {
            // A transfer stopped because a newer presence came is no failure
            // of the server's.
            CopyUtf8Field(failedDigest, job->digest);
            failedAt = host->nowSeconds();
        }
        uploading = false;
    }
    SendPresenceRecord(job->record, job->version);  // dropped when overtaken
    Release(host, job);
    return 0;
}

// Hands the upload of `job` to a thread of its own. False when none could be
// started (the caller then sends with the logo).
bool StartUpload(const HostServices* host, CoverArtJob* job) {
    MutexLock lock(uploadLock);
    if (uploadsClosed || uploading) {
        return false;
    }
    if (uploadThread && !host->reapThread(&uploadThread)) {
        // Past its upload, the last one only sends and releases.
        host->waitThread(uploadThread, 1000, 0);
        if (!host->reapThread(&uploadThread)) {
            return false;
        }
    }
    uploading = true;
    uploadThread = host->startThread(&UploadMain, job, 2);
    if (!uploadThread) {
        uploading = false;
        return false;
    }
    return true;
}

bool UploadUnderWay() {
    MutexLock lock(uploadLock);
    return uploading || uploadsClosed;
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
    // Overtaken while it waited: neither uploaded nor sent.
    if (!host || PresenceCompositionOvertaken(job->version.sequence)) {
        Release(host, job);
        return 0;
    }
    if (!UploadUnderWay() && !coverArtBusy.exchange(true)) {
        const bool upload = PrepareImage(host, *job, width, height, pixels);
        coverArtBusy.store(false);
        if (upload && StartUpload(host, job)) {
            return 0;  // the upload thread sends and releases
        }
        if (upload) {
            CopyUtf8Field(job->record.largeImage, kLogo);
        }
    }
    SendPresenceRecord(job->record, job->version);
    Release(host, job);
    return 0;
}

void StopCoverArtUploadsForQuit() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    ThreadHandle handle = nullptr;
    {
        MutexLock lock(uploadLock);
        uploadsClosed = true;
        handle = std::exchange(uploadThread, nullptr);
    }
    if (handle && !host->reapThread(&handle)) {
        host->waitThread(handle, 10000, 1);
        host->closeThread(handle);
    }
}

void ReopenCoverArtUploads() {
    MutexLock lock(uploadLock);
    uploadsClosed = false;
}

}  // namespace kiln
