#include "services/artwork.h"

#include <curl/curl.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tfilestream.h>
#include <taglib/wavfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"
#include "services/paths.h"
#include "services/text_services.h"
#include "services/track_info.h"

// The decoders, the resizer and the encoders: Debian's libstb on Linux,
// stb_implementation.cpp in the DLL.
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>

namespace kiln::host {
namespace {

// The plug-in hands its 260-character location buffer without a size.
constexpr int kLocationChars = 260;
// Decoded or fitted images above this many pixels are refused: a damaged
// header or a 99999 x 99999 limit must not take gigabytes.
constexpr int64_t kMaxPixels = int64_t{8192} * 8192;
constexpr int kJpegQuality = 90;

using Bytes = std::vector<unsigned char>;

// An image as straight RGBA bytes, rows top to bottom.
struct Rgba {
    int width = 0;
    int height = 0;
    Bytes bytes;
};

std::wstring Lower(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return out;
}

std::string LowerExtension(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    for (auto& c : ext) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return ext;
}

Bytes ToBytes(const TagLib::ByteVector& data) {
    return Bytes(reinterpret_cast<const unsigned char*>(data.data()),
                 reinterpret_cast<const unsigned char*>(data.data()) + data.size());
}

// -- embedded pictures, front covers first

void AddId3Pictures(TagLib::ID3v2::Tag* tag, std::vector<Bytes>& out) {
    if (!tag) {
        return;
    }
    std::vector<Bytes> others;
    for (TagLib::ID3v2::Frame* frame : tag->frameList("APIC")) {
        auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (!picture || picture->picture().isEmpty()) {
            continue;
        }
        bool front = picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover;
        (front ? out : others).push_back(ToBytes(picture->picture()));
    }
    out.insert(out.end(), others.begin(), others.end());
}

void AddFlacPictures(TagLib::FLAC::File& file, std::vector<Bytes>& out) {
    std::vector<Bytes> others;
    for (TagLib::FLAC::Picture* picture : file.pictureList()) {
        if (!picture || picture->data().isEmpty()) {
            continue;
        }
        bool front = picture->type() == TagLib::FLAC::Picture::FrontCover;
        (front ? out : others).push_back(ToBytes(picture->data()));
    }
    out.insert(out.end(), others.begin(), others.end());
}

void AddMp4Pictures(TagLib::MP4::Tag* tag, std::vector<Bytes>& out) {
    if (!tag || !tag->contains("covr")) {
        return;
    }
    for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList()) {
        if (!art.data().isEmpty()) {
            out.push_back(ToBytes(art.data()));
        }
    }
}

std::vector<Bytes> EmbeddedPictures(const std::filesystem::path& file) {
    std::vector<Bytes> out;
    const std::string ext = LowerExtension(file);
    // TagLib takes the system's own path form (UTF-16 on Windows). Read-only,
    // as the tags are read: the worker may be reading the same file.
    TagLib::FileStream stream(file.c_str(), true);
    TagLib::ID3v2::FrameFactory* frames = TagLib::ID3v2::FrameFactory::instance();
    if (ext == ".mp3" || ext == ".mp2") {
        TagLib::MPEG::File media(&stream, frames, false);
        if (media.isValid()) {
            AddId3Pictures(media.ID3v2Tag(), out);
        }
    } else if (ext == ".wav") {
        TagLib::RIFF::WAV::File media(&stream, false);
        if (media.isValid()) {
            AddId3Pictures(media.ID3v2Tag(), out);
        }
    } else if (ext == ".aif" || ext == ".aiff") {
        TagLib::RIFF::AIFF::File media(&stream, false);
        if (media.isValid()) {
            AddId3Pictures(media.tag(), out);
        }
    } else if (ext == ".flac") {
        TagLib::FLAC::File media(&stream, frames, false);
        if (media.isValid()) {
            AddFlacPictures(media, out);
        }
    } else if (ext == ".m4a" || ext == ".mp4" || ext == ".m4b" || ext == ".m4v" || ext == ".aac") {
        TagLib::MP4::File media(&stream, false);
        if (media.isValid()) {
            AddMp4Pictures(media.tag(), out);
        }
    }
    return out;
}

// -- an image beside the file: cover.* before folder.*, then by extension

std::vector<std::filesystem::path> FolderPictures(const std::filesystem::path& file) {
    static constexpr std::array<const char*, 2> kStems = {"cover", "folder"};
    static constexpr std::array<const char*, 4> kExtensions = {".jpg", ".jpeg", ".png", ".bmp"};
    std::vector<std::pair<size_t, std::filesystem::path>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), error)) {
        if (!entry.is_regular_file(error)) {
            continue;
        }
        const std::filesystem::path& path = entry.path();
        std::string stem = path.stem().string();
        std::transform(stem.begin(), stem.end(), stem.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        const std::string ext = LowerExtension(path);
        for (size_t s = 0; s < kStems.size(); ++s) {
            for (size_t e = 0; e < kExtensions.size(); ++e) {
                if (stem == kStems[s] && ext == kExtensions[e]) {
                    found.emplace_back(s * kExtensions.size() + e, path);
                }
            }
        }
    }
    // Names that differ only in case tie on rank; the name decides then.
    std::sort(found.begin(), found.end());
    std::vector<std::filesystem::path> out;
    for (auto& candidate : found) {
        out.push_back(std::move(candidate.second));
    }
    return out;
}

Bytes ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Decode(const Bytes& data, Rgba& image) {
    if (data.empty() || data.size() > static_cast<size_t>(INT32_MAX)) {
        return false;
    }
    const int size = static_cast<int>(data.size());
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(data.data(), size, &width, &height, &channels) || width <= 0 ||
        height <= 0 || int64_t{width} * height > kMaxPixels) {
        return false;
    }
    stbi_uc* pixels = stbi_load_from_memory(data.data(), size, &width, &height, &channels, 4);
    if (!pixels) {
        return false;
    }
    image.width = width;
    image.height = height;
    image.bytes.assign(pixels, pixels + static_cast<size_t>(width) * height * 4);
    stbi_image_free(pixels);
    return true;
}

// A picture fetched from the web is refused beyond this size.
constexpr size_t kMaxFetchedBytes = size_t{20} << 20;

size_t CollectBytes(char* data, size_t size, size_t count, void* out) {
    auto* bytes = static_cast<Bytes*>(out);
    if (bytes->size() + size * count > kMaxFetchedBytes) {
        return 0;  // ends the transfer
    }
    bytes->insert(bytes->end(), data, data + size * count);
    return size * count;
}

Bytes Fetch(const std::string& url) {
    Bytes bytes;
    CURL* curl = curl_easy_init();
    if (!curl) {
        return bytes;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CollectBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    if (curl_easy_perform(curl) != CURLE_OK) {
        bytes.clear();
    }
    curl_easy_cleanup(curl);
    return bytes;
}

// The picture at a player's art address: a local file or a web address.
bool LoadFromAddress(const std::string& address, Rgba& image) {
    if (address.rfind("file://", 0) == 0) {
        const std::filesystem::path file = LocalPath(Utf8ToWide(address));
        return !file.empty() && Decode(ReadWhole(file), image);
    }
    const bool web = address.rfind("http://", 0) == 0 || address.rfind("https://", 0) == 0;
    return web && Decode(Fetch(address), image);
}

// The picture of a location, or false for streams and items without one.
bool LoadArtwork(const std::wstring& location, Rgba& image) {
    if (location.empty() || IsStreamLocation(location)) {
        return false;
    }
    std::filesystem::path file = LocalPath(location);
    std::error_code error;
    if (file.empty() || !std::filesystem::is_regular_file(file, error)) {
        return false;
    }
    for (const Bytes& data : EmbeddedPictures(file)) {
        if (Decode(data, image)) {
            return true;
        }
    }
    for (const std::filesystem::path& picture : FolderPictures(file)) {
        if (Decode(ReadWhole(picture), image)) {
            return true;
        }
    }
    return false;
}

// Fits the image within limitW x limitH keeping its aspect ratio; smaller
// images grow only when `enlarge` is set. A limit of 0 or less leaves that
// side free.
void Fit(Rgba& image, int limitW, int limitH, bool enlarge) {
    if (limitW <= 0 && limitH <= 0) {
        return;
    }
    constexpr double kFree = std::numeric_limits<double>::infinity();
    const double scaleW = limitW > 0 ? static_cast<double>(limitW) / image.width : kFree;
    const double scaleH = limitH > 0 ? static_cast<double>(limitH) / image.height : kFree;
    const bool widthBinds = scaleW <= scaleH;
    const double scale = widthBinds ? scaleW : scaleH;
    if (scale == 1.0 || (scale > 1.0 && !enlarge)) {
        return;
    }
    // The binding side gets the limit exactly; the other is rounded.
    auto scaled = [scale](int side) {
        return std::max(1, static_cast<int>(std::lround(side * scale)));
    };
    const int width = widthBinds ? limitW : scaled(image.width);
    const int height = widthBinds ? scaled(image.height) : limitH;
    if (int64_t{width} * height > kMaxPixels || (width == image.width && height == image.height)) {
        return;
    }
    Bytes fitted(static_cast<size_t>(width) * height * 4);
    if (!stbir_resize_uint8_generic(image.bytes.data(), image.width, image.height, 0, fitted.data(),
                                    width, height, 0, 4, 3, 0, STBIR_EDGE_CLAMP,
                                    STBIR_FILTER_DEFAULT, STBIR_COLORSPACE_SRGB, nullptr)) {
        return;
    }
    image.width = width;
    image.height = height;
    image.bytes = std::move(fitted);
}

std::vector<uint32_t> ToArgb(const Rgba& image) {
    std::vector<uint32_t> out(static_cast<size_t>(image.width) * image.height);
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char* p = &image.bytes[i * 4];
        out[i] = (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    }
    return out;
}

// -- the artwork thread and its queue

struct Job {
    std::wstring location;
    std::string artAddress;
    void* userData = nullptr;
    bool resize = false;
    int width = 0;
    int height = 0;
    bool enlarge = false;
    ArtworkCallback callback = nullptr;
};

void Serve(const Job& job) {
    Rgba image;
    if (!LoadFromAddress(job.artAddress, image) && !LoadArtwork(job.location, image)) {
        job.callback(nullptr, 0, 0, nullptr, job.userData);
        return;
    }
    if (job.resize) {
        Fit(image, job.width, job.height, job.enlarge);
    }
    std::vector<uint32_t> pixels = ToArgb(image);
    job.callback(nullptr, image.width, image.height, pixels.data(), job.userData);
}

class ArtworkQueue {
  public:
    // False once the process is exiting: nothing new is taken then.
    bool Push(Job job) {
        MutexLock lock(mutex_);
        restarted_.wait(lock.native(), [&]() REQUIRES(mutex_) { return !stopping_; });
        if (closed_) {
            return false;
        }
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread(&ArtworkQueue::Run, this);
            } catch (const std::system_error&) {
                return false;
            }
        }
        jobs_.push_back(std::move(job));
        wake_.notify_one();
        return true;
    }

    void Drain() { StopThread(false); }

    // At exit: requests not begun are dropped, the one running finishes.
    void Close() { StopThread(true); }

    uint64_t Delivered() {
        MutexLock lock(mutex_);
        return delivered_;
    }

  private:
    void StopThread(bool close) {
        MutexLock lock(mutex_);
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
            return;
        }
        if (close) {
            closed_ = true;
            jobs_.clear();
        }
        idle_.wait(lock.native(), [&]() REQUIRES(mutex_) { return jobs_.empty() && !busy_; });
        if (!thread_.joinable()) {
            return;
        }
        // While stopping_ is set no job is queued, so the thread finds the
        // queue empty and returns.
        stopping_ = true;
        wake_.notify_all();
        std::thread ending = std::move(thread_);
        lock.unlock();
        ending.join();
        lock.lock();
        stopping_ = false;
        restarted_.notify_all();
    }

    void Run() {
        MutexLock lock(mutex_);
        for (;;) {
            wake_.wait(lock.native(),
                       [&]() REQUIRES(mutex_) { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
            lock.unlock();
            Serve(job);
            lock.lock();
            busy_ = false;
            ++delivered_;
            if (jobs_.empty()) {
                idle_.notify_all();
            }
        }
    }

    Mutex mutex_;
    std::condition_variable wake_;       // a job or the stop
    std::condition_variable idle_;       // queue empty, no callback running
    std::condition_variable restarted_;  // the stopped thread was joined
    std::deque<Job> jobs_ GUARDED_BY(mutex_);
    std::thread thread_ GUARDED_BY(mutex_);
    bool busy_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool closed_ GUARDED_BY(mutex_) = false;
    uint64_t delivered_ GUARDED_BY(mutex_) = 0;
};

// Never destroyed, so that requests made while the program exits find it;
// its thread is joined at exit by the object below.
ArtworkQueue& Queue() {
    static ArtworkQueue* queue = new ArtworkQueue;
    return *queue;
}

struct JoinAtExit {
    JoinAtExit() { Queue(); }
    ~JoinAtExit() { Queue().Close(); }
} joinAtExit;

std::function<std::wstring()>& CurrentItemSource() {
    static std::function<std::wstring()> source;
    return source;
}

std::function<std::string()>& CurrentArtSource() {
    static std::function<std::string()> source;
    return source;
}

int Request(wchar_t* location, Job job) {
    if (CurrentItemSource()) {
        job.location = CurrentItemSource()();
    }
    if (CurrentArtSource()) {
        job.artAddress = CurrentArtSource()();
    }
    if (location) {
        CopyToBuffer(job.location, location, kLocationChars);
    }
    if (!job.callback) {
        return -1;
    }
    return Queue().Push(std::move(job)) ? 0 : -1;
}

int RequestArtwork(ArtworkService*, wchar_t* location, const wchar_t*, void* userData, int,
                   ArtworkCallback callback) {
    Job job;
    job.userData = userData;
    job.callback = callback;
    return Request(location, std::move(job));
}

int RequestResized(ArtworkService*, wchar_t* location, const wchar_t*, void* userData, int width,
                   int height, int enlarge, int, ArtworkCallback callback) {
    Job job;
    job.userData = userData;
    job.resize = true;
    job.width = width;
    job.height = height;
    job.enlarge = enlarge != 0;
    job.callback = callback;
    return Request(location, std::move(job));
}

enum class ImageFormat { None, Jpeg, Png, Bmp, Tga };

ImageFormat FormatOf(const wchar_t* format) {
    if (!format) {
        return ImageFormat::None;
    }
    std::wstring name = Lower(format);
    if (!name.empty() && name.front() == L'.') {
        name.erase(0, 1);
    }
    if (name == L"jpg" || name == L"jpeg") {
        return ImageFormat::Jpeg;
    }
    if (name == L"png") {
        return ImageFormat::Png;
    }
    if (name == L"bmp") {
        return ImageFormat::Bmp;
    }
    if (name == L"tga") {
        return ImageFormat::Tga;
    }
    return ImageFormat::None;
}

int CanWrite(ArtworkService*, const wchar_t* path, const wchar_t* format) {
    return path && path[0] != L'\0' && FormatOf(format) != ImageFormat::None ? 1 : 0;
}

void AppendTo(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    const auto* bytes = static_cast<const unsigned char*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

bool Encode(ImageFormat format, int width, int height, const Bytes& rgba, Bytes& out) {
    const int stride = width * 4;
    switch (format) {
        case ImageFormat::Jpeg:
            return stbi_write_jpg_to_func(&AppendTo, &out, width, height, 4, rgba.data(),
                                          kJpegQuality) != 0;
        case ImageFormat::Png:
            return stbi_write_png_to_func(&AppendTo, &out, width, height, 4, rgba.data(), stride) !=
                   0;
        case ImageFormat::Bmp:
            return stbi_write_bmp_to_func(&AppendTo, &out, width, height, 4, rgba.data()) != 0;
        case ImageFormat::Tga:
            return stbi_write_tga_to_func(&AppendTo, &out, width, height, 4, rgba.data()) != 0;
        case ImageFormat::None:
            break;
    }
    return false;
}

// Written beside the target and renamed over it, so that an overlay reading
// the file never sees half an image.
bool WriteWhole(const std::filesystem::path& target, const Bytes& bytes) {
    std::filesystem::path partial = target;
    partial += ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    if (error) {
        std::filesystem::remove(partial, error);
        return false;
    }
    return true;
}

int WriteImage(ArtworkService*, const wchar_t* path, int width, int height, const uint32_t* pixels,
               int, const wchar_t* format) {
    const ImageFormat kind = FormatOf(format);
    if (!path || path[0] == L'\0' || !pixels || width <= 0 || height <= 0 ||
        int64_t{width} * height > kMaxPixels || kind == ImageFormat::None) {
        return 1;
    }
    Bytes rgba(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        const uint32_t argb = pixels[i];
        rgba[i * 4] = static_cast<unsigned char>(argb >> 16);
        rgba[i * 4 + 1] = static_cast<unsigned char>(argb >> 8);
        rgba[i * 4 + 2] = static_cast<unsigned char>(argb);
        rgba[i * 4 + 3] = static_cast<unsigned char>(argb >> 24);
    }
    Bytes encoded;
    if (!Encode(kind, width, height, rgba, encoded)) {
        return 1;
    }
    return WriteWhole(ToFsPath(path), encoded) ? 0 : 1;
}

ArtworkService service = {&RequestArtwork, &RequestResized, &CanWrite, &WriteImage};

}  // namespace

void SetCurrentItemSource(std::function<std::wstring()> source) {
    CurrentItemSource() = std::move(source);
}

void SetCurrentArtSource(std::function<std::string()> source) {
    CurrentArtSource() = std::move(source);
}

ArtworkService* ArtworkServiceInstance() {
    return &service;
}

void DrainArtworkCallbacks() {
    Queue().Drain();
}

uint64_t ArtworkCallbacksDelivered() {
    return Queue().Delivered();
}

}  // namespace kiln::host
