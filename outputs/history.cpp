#include "outputs/history.h"

#include <string>

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "outputs/output_text.h"
#include "platform/clock_text.h"
#include "platform/file.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/template_lines.h"

namespace kiln {

namespace {

// Set by the worker at each entry and by the main thread at a start marker;
// the stop marker reuses it.
Mutex historyPathLock;
wchar_t historyPath[kPathChars] GUARDED_BY(historyPathLock) = L"";

// Computes the history file's path for the current item and keeps it for the
// stop marker.
std::wstring NewHistoryPath() {
    wchar_t path[kPathChars] = L"";
    ComputeOutputPath(SettingText(historyFolder).c_str(), SettingText(historyFileTemplate).c_str(),
                      path);
    MutexLock lock(historyPathLock);
    CopyWide(historyPath, kPathChars, path);
    return path;
}

constexpr int kModeFileName = contract::kTitleModeFileName;
constexpr int kModePlain = contract::kTitleModePlain;

void AppendBytes(const wchar_t* path, const std::string& bytes) {
    platform::FileHandle file = platform::OpenSharedForAppend(path);
    if (!file) {
        return;
    }
    platform::AppendAll(file, bytes.data(), bytes.size());
    platform::CloseFileHandle(file);
}

}  // namespace

void ComputeOutputPath(const wchar_t* folder, const wchar_t* nameTemplate, wchar_t* dest) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    wchar_t name[kPathChars];
    FormatForCurrentItem(nameTemplate, name, kPathChars, kModeFileName);
    host->normalisePath(name, kPathChars);
    host->joinPath(dest, kPathChars, folder, name);
    // The file's own folder: the chosen one, or one below it that the name adds.
    const std::wstring path = dest;
    const size_t cut = path.find_last_of(platform::kFolderSeparators);
    host->createPath(cut == std::wstring::npos || cut == 0 ? folder : path.substr(0, cut).c_str());
}

void AppendHistoryLine() {
    const std::wstring path = NewHistoryPath();
    const std::wstring line =
        FormatTemplateLines(SettingText(historyFormat).c_str(), currentLocation, kLocationChars,
                            kModePlain, nullptr, kLineChars);
    // A template that formats to nothing still records the start as a line.
    AppendBytes(path.c_str(), ToUtf8(line.c_str()) + "\r\n");
}

void WriteHistoryMarker(bool stop) {
    const HostServices* host = Host();
    if (!host || loggingOn.load() == 0 || prePost.load() == 0) {
        return;
    }
    // The stop marker joins the file of the last entry, even after midnight.
    std::wstring path;
    if (!stop) {
        path = NewHistoryPath();
    } else {
        MutexLock lock(historyPathLock);
        path = historyPath;
    }
    int64_t now = host->nowSeconds();
    std::wstring marker = std::wstring(L"<<< ") + (stop ? L"stopped @ " : L"started @ ") +
                          platform::LocalDateText(now) + L" - " + platform::LocalTimeText(now) +
                          L" >>>";
    AppendBytes(path.c_str(), ToUtf8(marker.c_str()) + "\r\n");
}

}  // namespace kiln
