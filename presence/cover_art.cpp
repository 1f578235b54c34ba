#include "presence/cover_art.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/host_contract.h"
#include "core/thread_annotations.h"

#include "core/wide_format.h"
#include "platform/file.h"
#include "plugin/curl_api.h"
#include "plugin/plugin.h"
#include "plugin/quit_signal.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "presence/utf8_cut.h"

namespace kiln {

// One request for the art of an item, from the artwork request to the end of
// its upload.
struct CoverArtJob {
    std::wstring item;  // the item's name, as the host gave it
    uint64_t generation = 0;
    wchar_t identity[kUploadIdentityChars] = {};
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // none: the item has no art
    char digest[65] = {};          // of the image written for this job
};

namespace {

constexpr int kUtf8CodePage = contract::kCodePageUtf8;
constexpr int kSystemCodePage = 0;
constexpr int kCacheEntry = contract::kPathEntryCache;
constexpr int kDigestBytes = 65;
constexpr int kNarrowPathBytes = 1040;
constexpr int kResponseChars = 256;
constexpr int kUploadTimeoutSeconds = 10;
constexpr long kStatusCreated = 201;
// The address names the image by its digest: the same image keeps one
// address, which Discord fetches once, and a new one gets a new address.
constexpr size_t kAddressDigestChars = 16;
// An image whose upload failed, however it ended, is not offered again for
// this long, so that a host that does not answer costs one time-out per
// image, not one per playback event.
constexpr int64_t kRetryAfterFailureSeconds = 60;
// More than a host asked for 600 x 600 should ever give; not copied.
constexpr int64_t kMaxCoverPixels = int64_t{4096} * 4096;

std::atomic<size_t> jobsInFlight{0};

// -- the upload thread only (one at a time)
wchar_t cachedArtFolder[kPathChars] = L"";
wchar_t cachedArtPath[kPathChars] = L"";
char uploadEndpoint[256] = "";

// The image of the item now shown. A new item starts a new generation; jobs
// of an older one are dropped, and their uploads stopped.
Mutex imageLock;
std::wstring imageItem GUARDED_BY(imageLock);
std::string imageText GUARDED_BY(imageLock);
ItemImage itemImage GUARDED_BY(imageLock);
std::atomic<uint64_t> imageGeneration{0};
// The presence that went out with the logo while the image was pending.
bool followUpWanted GUARDED_BY(imageLock) = false;
RichPresence followUpRecord GUARDED_BY(imageLock){};
PresenceVersion followUpVersion GUARDED_BY(imageLock);
std::string followUpButton GUARDED_BY(imageLock);

// One upload thread at a time works through the jobs, the newest waiting in
// `nextJob`; it alone touches the cached file.
Mutex uploadLock;
ThreadHandle uploadThread GUARDED_BY(uploadLock) = nullptr;
bool uploading GUARDED_BY(uploadLock) = false;
CoverArtJob* nextJob GUARDED_BY(uploadLock) = nullptr;
bool uploadsClosed GUARDED_BY(uploadLock) = false;
std::atomic<bool> uploadsStopping{false};
// The images whose upload failed lately; a few, since the uploads of items
// skipped in turn fail one after the other.
struct FailedImage {
    char digest[kDigestBytes] = "";
    int64_t at = 0;
};
FailedImage failedImages[8] GUARDED_BY(uploadLock);
size_t nextFailed GUARDED_BY(uploadLock) = 0;

bool Current(const CoverArtJob& job) {
    return job.generation == imageGeneration.load();
}

void Release(CoverArtJob* job) {
    delete job;
    jobsInFlight.fetch_sub(1);
}

bool RecentlyFailed(const HostServices* host, const char* digest) {
    MutexLock lock(uploadLock);
    const int64_t now = host->nowSeconds();
    for (const FailedImage& failed : failedImages) {
        if (failed.digest[0] != '\0' && std::strcmp(failed.digest, digest) == 0 &&
            now - failed.at < kRetryAfterFailureSeconds) {
            return true;
        }
    }
    return false;
}

// libcurl asks this during the transfer (at least about once a second): an
// image no longer wanted, or quit, stops its upload.
int UploadProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* job = static_cast<const CoverArtJob*>(data);
    return !Current(*job) || uploadsStopping.load() || QuitRequested() ? 1 : 0;
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

// "<base>discord/cache/<identity>.jpg?<digest>"; the server serves the image
// whatever the query.
void ImageAddress(const HostServices* host, const CoverArtJob& job, char (&address)[80]) {
    std::string text = BaseAddress(host) + "discord/cache/" + Utf8Of(host, job.identity) + ".jpg";
    if (job.digest[0] != '\0') {
        text += '?';
        text.append(job.digest, std::min(std::strlen(job.digest), kAddressDigestChars));
    }
    CopyUtf8Field(address, text);
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

enum class Prepared { NoImage, Known, ToUpload, RecentlyFailed };

// Writes the job's art to the cached file. Known: the file held this very
// image, which the server has already.
Prepared PrepareImage(const HostServices* host, CoverArtJob& job) {
    MakeCachedPath(host);
    if (cachedArtPath[0] == L'\0') {
        return Prepared::NoImage;
    }
    char oldDigest[kDigestBytes] = "";
    host->fileDigest(cachedArtPath, oldDigest, kDigestBytes);
    ArtworkService* service = Descriptor().artworkService;
    if (job.pixels.empty() || !service || !service->writeImage) {
        platform::DeleteFileAt(cachedArtPath);
        return Prepared::NoImage;
    }
    host->createPath(cachedArtFolder);
    if (service->writeImage(service, cachedArtPath, job.width, job.height, job.pixels.data(), 0,
                            L"jpg") != 0) {
        platform::DeleteFileAt(cachedArtPath);
        return Prepared::NoImage;
    }
    host->fileDigest(cachedArtPath, job.digest, kDigestBytes);
    if (RecentlyFailed(host, job.digest)) {
        // Not kept either, so that it does not pass for an image the server has.
        platform::DeleteFileAt(cachedArtPath);
        return Prepared::RecentlyFailed;
    }
    if (job.digest[0] != '\0' && host->textEqualUtf8(oldDigest, job.digest) != 0) {
        return Prepared::Known;
    }
    return Prepared::ToUpload;
}

// Records what came of the job's image and, when it is on the server, sends
// the presence that waited for it again with it.
void Resolve(const CoverArtJob& job, ItemImage::Status status, const char* address) {
    RichPresence record;
    PresenceVersion version;
    {
        MutexLock lock(imageLock);
        if (!Current(job)) {
            return;
        }
        itemImage.status = status;
        CopyUtf8Field(itemImage.address, status == ItemImage::Ready ? address : "");
        if (!followUpWanted || status != ItemImage::Ready) {
            followUpWanted = false;
            return;
        }
        followUpWanted = false;
        record = followUpRecord;
        record.buttonUrl = followUpButton.empty() ? nullptr : followUpButton.c_str();
        version = followUpVersion;
        CopyUtf8Field(record.largeImage, address);
        // Sent under imageLock, which keeps followUpButton alive; the client
        // guard's lock comes after it and never calls back into here.
        SendPresenceFollowUp(record, version);
    }
}

void ProcessJob(const HostServices* host, CoverArtJob& job) {
    if (!Current(job)) {
        return;
    }
    char address[80] = "";
    switch (PrepareImage(host, job)) {
        case Prepared::NoImage:
        case Prepared::RecentlyFailed:
            Resolve(job, ItemImage::Logo, "");
            return;
        case Prepared::Known:
            ImageAddress(host, job, address);
            Resolve(job, ItemImage::Ready, address);
            return;
        case Prepared::ToUpload:
            break;
    }
    if (Upload(host, job)) {
        ImageAddress(host, job, address);
        Resolve(job, ItemImage::Ready, address);
        MutexLock lock(uploadLock);
        for (FailedImage& failed : failedImages) {
            if (std::strcmp(failed.digest, job.digest) == 0) {
                failed = FailedImage{};
            }
        }
        return;
    }
    // Forgotten, so that the image is offered to the server again later
    // rather than taken as already there; but not within the minute.
    platform::DeleteFileAt(cachedArtPath);
    {
        MutexLock lock(uploadLock);
        FailedImage& failed = failedImages[nextFailed++ % std::size(failedImages)];
        CopyUtf8Field(failed.digest, job.digest);
        failed.at = host->nowSeconds();
    }
    Resolve(job, ItemImage::Logo, "");
}

unsigned UploadMain(void*) {
    const HostServices* host = Host();
    for (;;) {
        CoverArtJob* job = nullptr;
        {
            MutexLock lock(uploadLock);
            job = std::exchange(nextJob, nullptr);
            if (!job) {
                uploading = false;
                return 0;
            }
        }
        ProcessJob(host, *job);
        Release(job);
    }
}

// Hands `job` to the upload thread, starting one when none runs; a job still
// waiting for it is replaced (its item is no longer the current one). False
// when the job could not be handed over; the caller still owns it then.
bool StartUpload(const HostServices* host, CoverArtJob* job) {
    MutexLock lock(uploadLock);
    if (uploadsClosed) {
        return false;
    }
    if (uploading) {
        if (CoverArtJob* replaced = std::exchange(nextJob, job)) {
            Release(replaced);
        }
        return true;
    }
    if (uploadThread && !host->reapThread(&uploadThread)) {
        // Past its last job, the last one is only returning.
        host->waitThread(uploadThread, 1000, 0);
        if (!host->reapThread(&uploadThread)) {
            return false;
        }
    }
    uploading = true;
    nextJob = job;
    uploadThread = host->startThread(&UploadMain, nullptr, 2);
    if (!uploadThread) {
        uploading = false;
        nextJob = nullptr;
        return false;
    }
    return true;
}

// Asks the host's artwork service for the art of `job`'s item. True when the
// request was taken: OnCoverArtReady then owns the job.
bool RequestCoverArt(CoverArtJob* job) {
    const HostServices* host = Host();
    ArtworkService* service = Descriptor().artworkService;
    if (!host || !service || !service->requestResizedArtwork) {
        return false;
    }
    const wchar_t* kind =
        host->artworkKindIsPlaying(job->item.data(), static_cast<int>(job->item.size() + 1)) != 0
            ? L"playing"
            : L"cover";
    return service->requestResizedArtwork(service, job->item.data(), kind, job, kCoverArtLimit,
                                          kCoverArtLimit, 0, 0, &OnCoverArtReady) == 0;
}

}  // namespace

ItemImage CoverArtForItem(const wchar_t* location, std::string_view text, const wchar_t* identity) {
    auto* job = new CoverArtJob;
    {
        MutexLock lock(imageLock);
        if (imageItem == location && imageText == text) {
            delete job;
            return itemImage;
        }
        imageItem = location;
        imageText = text;
        itemImage = ItemImage{ItemImage::Pending, ""};
        followUpWanted = false;
        job->generation = imageGeneration.fetch_add(1) + 1;
    }
    jobsInFlight.fetch_add(1);
    job->item = location;
    std::wmemcpy(job->identity, identity, kUploadIdentityChars);
    job->identity[kUploadIdentityChars - 1] = L'\0';
    if (RequestCoverArt(job)) {
        return ItemImage{ItemImage::Pending, ""};
    }
    Resolve(*job, ItemImage::Logo, "");
    Release(job);
    return ItemImage{};
}

void AwaitCoverArt(const RichPresence& record, const PresenceVersion& version,
                   const wchar_t* location, std::string_view text) {
    MutexLock lock(imageLock);
    if (imageItem != location || imageText != text) {
        return;
    }
    if (itemImage.status == ItemImage::Ready) {
        // It came while the presence was being sent.
        RichPresence withImage = record;
        CopyUtf8Field(withImage.largeImage, itemImage.address);
        SendPresenceFollowUp(withImage, version);
        return;
    }
    if (itemImage.status != ItemImage::Pending) {
        return;
    }
    followUpWanted = true;
    followUpRecord = record;
    followUpButton = record.buttonUrl ? record.buttonUrl : "";
    followUpRecord.buttonUrl = nullptr;
    followUpVersion = version;
}

int OnCoverArtReady(void*, int width, int height, const uint32_t* pixels, void* userData) {
    auto* job = static_cast<CoverArtJob*>(userData);
    if (!job) {
        return 0;
    }
    const HostServices* host = Host();
    if (!host || !Current(*job)) {
        Release(job);
        return 0;
    }
    if (pixels && width > 0 && height > 0 && int64_t{width} * height <= kMaxCoverPixels) {
        job->width = width;
        job->height = height;
        job->pixels.assign(pixels, pixels + static_cast<size_t>(width) * height);
    }
    if (!StartUpload(host, job)) {
        Resolve(*job, ItemImage::Logo, "");
        Release(job);
    }
    return 0;
}

size_t CoverArtJobsInFlight() {
    return jobsInFlight.load();
}

void StopCoverArtUploadsForQuit() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    ThreadHandle handle = nullptr;
    uploadsStopping.store(true);
    {
        MutexLock lock(uploadLock);
        uploadsClosed = true;
        if (CoverArtJob* waiting = std::exchange(nextJob, nullptr)) {
            Release(waiting);
        }
        handle = std::exchange(uploadThread, nullptr);
        for (FailedImage& failed : failedImages) {
            failed = FailedImage{};
        }
    }
    if (handle && !host->reapThread(&handle)) {
        host->waitThread(handle, 10000, 1);
        host->closeThread(handle);
    }
    // The next start-up looks at every item afresh.
    MutexLock lock(imageLock);
    imageItem.clear();
    imageGeneration.fetch_add(1);
    followUpWanted = false;
}

void ReopenCoverArtUploads() {
    uploadsStopping.store(false);
    MutexLock lock(uploadLock);
    uploadsClosed = false;
}

}  // namespace kiln
