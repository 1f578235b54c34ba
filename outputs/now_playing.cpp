#include "outputs/now_playing.h"

#include <string>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "outputs/history.h"
#include "outputs/output_text.h"
#include "platform/file.h"
#include "plugin/plugin.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/template_lines.h"

namespace kiln {

wchar_t nowPlayingPath[kPathChars] = L"";

namespace {

// Written by the worker at each play start, read by the artwork callback on
// the host's artwork thread.
Mutex artworkPathLock;
wchar_t artworkPath[kPathChars] GUARDED_BY(artworkPathLock) = L"";

// Computes the artwork path into `path` and publishes it to the callback.
void ComputeArtworkPath(wchar_t* path) {
    path[0] = L'\0';
    ComputeOutputPath(SettingText(artFolder).c_str(), SettingText(artFileTemplate).c_str(), path);
    MutexLock lock(artworkPathLock);
    CopyWide(artworkPath, kPathChars, path);
}

constexpr int kModePlain = contract::kTitleModePlain;

// The extension of the last path component, or empty.
std::wstring ExtensionOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"/\\");
    size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash) ||
        dot + 1 == path.size()) {
        return {};
    }
    return path.substr(dot + 1);
}

}  // namespace

void ComputeNowPlayingPaths() {
    ComputeOutputPath(SettingText(nowFolder).c_str(), SettingText(nowFileTemplate).c_str(),
                      nowPlayingPath);
    wchar_t path[kPathChars];
    ComputeArtworkPath(path);
}

void WriteNowPlayingFiles() {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    int outputs = nowLoggingOn.load();
    ComputeOutputPath(SettingText(nowFolder).c_str(), SettingText(nowFileTemplate).c_str(),
                      nowPlayingPath);
    if (platform::FileHandle file = platform::CreateSharedForWrite(nowPlayingPath)) {
        // With the text output off the file stays, emptied.
        if ((outputs & kNowText) != 0) {
            const std::wstring line =
                FormatTemplateLines(SettingText(nowFormat).c_str(), currentLocation, kLocationChars,
                                    kModePlain, nullptr, kLineChars);
            std::string bytes = ToUtf8(line.c_str()) + "\r\n";
            platform::WriteAll(file, bytes.data(), bytes.size());
        }
        platform::CloseFileHandle(file);
    }
    if ((outputs & kNowArtwork) == 0) {
        return;
    }
    wchar_t path[kPathChars];
    ComputeArtworkPath(path);
    ArtworkService* artwork = Descriptor().artworkService;
    if (!artwork) {
        platform::DeleteFileAt(path);
        return;
    }
    const wchar_t* kind =
        host->artworkKindIsPlaying(currentLocation, kLocationChars) ? L"playing" : L"cover";
    int mode = artLimitUpscale.load();
    if ((mode & kArtResize) != 0) {
        artwork->requestResizedArtwork(artwork, currentLocation, kind, nullptr,
                                       artWidthLimit.load(), artHeightLimit.load(),
                                       (mode & kArtEnlarge) != 0 ? 1 : 0, 0, &OnArtworkReady);
    } else {
        artwork->requestArtwork(artwork, currentLocation, kind, nullptr, 0, &OnArtworkReady);
    }
}

int OnArtworkReady(void*, int width, int height, const uint32_t* pixels, void*) {
    // The next play start may recompute the path meanwhile; work on a copy.
    wchar_t path[kPathChars];
    {
        MutexLock lock(artworkPathLock);
        CopyWide(path, kPathChars, artworkPath);
    }
    ArtworkService* artwork = Descriptor().artworkService;
    if (!pixels || !artwork) {
        platform::DeleteFileAt(path);  // never leave the previous item's image
        return 0;
    }
    std::wstring format = ExtensionOf(path);
    if (format.empty() || !artwork->canWriteFormat(artwork, path, format.c_str())) {
        format = L"jpg";
    }
    if (artwork->writeImage(artwork, path, width, height, pixels, 0, format.c_str()) != 0) {
        platform::DeleteFileAt(path);
    }
    return 0;
}

}  // namespace kiln
