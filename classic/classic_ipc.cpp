// The player's side of the adapter: its IPC answers, read defensively, and
// the messages registered through the table.
//
// Shared between threads: the version word and the playing-file cache (asked
// by the worker, POST, preview and artwork threads, reset by the main
// thread's notices) and the registered ids (written at init on the main
// thread, read by the subclass there). Each is behind its own lock or atomic.
#include <windows.h>

#include <atomic>
#include <climits>
#include <optional>
#include <set>
#include <string>

#include "classic/classic_internal.h"
#include "core/thread_annotations.h"

namespace kiln::classic {
namespace {

constexpr LRESULT kUnknownVersion = -1;
std::atomic<LRESULT> version{kUnknownVersion};

Mutex registeredLock;
std::set<LPARAM> registered GUARDED_BY(registeredLock);

// The playing file and status as last asked, valid while no notice has come
// since: the player announces every change of either.
Mutex playingLock;
uint64_t noticeCount GUARDED_BY(playingLock) = 0;
std::optional<std::wstring> playing GUARDED_BY(playingLock);
std::optional<int> status GUARDED_BY(playingLock);

// Bytes readable from `at` on, within its region; 0 when it cannot be read.
size_t ReadableBytes(const void* at) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(at, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
        (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
        return 0;
    }
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if ((info.Protect & kReadable) == 0) {
        return 0;
    }
    auto end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    return end - reinterpret_cast<uintptr_t>(at);
}

// Copies a terminated text at `answer`, page by page as far as the memory is
// committed and readable; a player that answered a number where a pointer
// belongs costs nothing but the text.
template <typename Char>
std::optional<std::basic_string<Char>> CopyText(LRESULT answer, size_t maxChars) {
    const auto address = static_cast<uintptr_t>(answer);
    if (address < 0x10000 || address % alignof(Char) != 0) {
        return std::nullopt;
    }
    std::basic_string<Char> out;
    const Char* at = reinterpret_cast<const Char*>(address);
    size_t left = 0;
    while (out.size() < maxChars) {
        if (left < sizeof(Char)) {
            left = ReadableBytes(at);
            if (left < sizeof(Char)) {
                return std::nullopt;
            }
        }
        if (*at == Char(0)) {
            return out;
        }
        out.push_back(*at++);
        left -= sizeof(Char);
    }
    return out;
}

std::wstring AskPlayingFile() {
    if (PlayerHas(kVersion500)) {
        if (auto file = PlayerWideText(Ipc(0, kPlayingFileW)); file && !file->empty()) {
            return *file;
        }
    }
    if (!PlayerHas(kVersion205)) {
        return {};
    }
    // Older players: the playlist entry at the current position.
    LRESULT position = Ipc(0, kListPosition);
    if (position < 0 || position > INT_MAX) {
        return {};
    }
    if (PlayerHas(kVersion500)) {
        if (auto file = PlayerWideText(Ipc(static_cast<WPARAM>(position), kPlaylistFileW))) {
            return *file;
        }
    }
    std::optional<std::string> narrow =
        PlayerNarrowText(Ipc(static_cast<WPARAM>(position), kPlaylistFile));
    return narrow ? FromAnsi(*narrow) : std::wstring();
}

unsigned RegisterMessage(const char* name) {
    const char* text = name ? name : "";
    LRESULT id = PlayerHas(kVersion500) ? Ipc(reinterpret_cast<WPARAM>(text), kRegisterMessage) : 0;
    if (id <= kRegisterMessage || static_cast<uint64_t>(id) > UINT_MAX) {
        // Without the player's registration (or with an answer that is not
        // one) the system's registered window messages serve: the subclass
        // takes ours before the player could see them.
        int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
        std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
        id = static_cast<LRESULT>(RegisterWindowMessageW(wide.c_str()));
    }
    if (id != 0) {
        MutexLock lock(registeredLock);
        registered.insert(id);
    }
    return static_cast<unsigned>(id);
}

}  // namespace

State& Adapter() {
    static State state;
    return state;
}

LRESULT Ipc(WPARAM wParam, LPARAM code) {
    HWND main = Adapter().main;
    return main ? SendMessageW(main, kIpc, wParam, code) : 0;
}

LRESULT PlayerVersion() {
    LRESULT known = version.load();
    if (known == kUnknownVersion) {
        LRESULT answer = Ipc(0, kGetVersion);
        known = answer > 0 && answer <= 0xFFFF ? answer : 0;
        version.store(known);
    }
    return known;
}

bool PlayerHas(LRESULT sinceVersion) {
    return PlayerVersion() >= sinceVersion;
}

std::optional<std::wstring> PlayerWideText(LRESULT answer, size_t maxChars) {
    return CopyText<wchar_t>(answer, maxChars);
}

std::optional<std::string> PlayerNarrowText(LRESULT answer, size_t maxChars) {
    return CopyText<char>(answer, maxChars);
}

std::wstring FromAnsi(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string ToAnsi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), n, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

HWND PlayerWindow(LRESULT answer) {
    auto window = reinterpret_cast<HWND>(answer);
    return answer != 0 && answer != 1 && IsWindow(window) ? window : nullptr;
}

std::wstring PlayingFile() {
    uint64_t seen = 0;
    {
        MutexLock lock(playingLock);
        if (playing) {
            return *playing;
        }
        seen = noticeCount;
    }
    std::wstring file = AskPlayingFile();
    MutexLock lock(playingLock);
    if (noticeCount == seen) {
        playing = file;
    }
    return file;
}

int PlayerStatus() {
    uint64_t seen = 0;
    {
        MutexLock lock(playingLock);
        if (status) {
            return *status;
        }
        seen = noticeCount;
    }
    LRESULT answer = Ipc(0, kIsPlaying);
    const int known = answer == 1 || answer == 3 ? static_cast<int>(answer) : 0;
    MutexLock lock(playingLock);
    if (noticeCount == seen) {
        status = known;
    }
    return known;
}

void NoteNotice(WPARAM wParam, LPARAM code) {
    const bool itemOrStatus =
        code == kPlayingFileNotice || code == kPlayingFileNarrowNotice || code == kUpdateTitle ||
        (code == kMiscNotice && (wParam == kMiscTitle || wParam == kMiscStatus));
    if (itemOrStatus) {
        MutexLock lock(playingLock);
        ++noticeCount;
        playing.reset();
        status.reset();
    }
}

bool IsOwnMessage(LPARAM code) {
    MutexLock lock(registeredLock);
    return registered.count(code) != 0;
}

void ForgetSession() {
    version.store(kUnknownVersion);
    {
        MutexLock lock(registeredLock);
        registered.clear();
    }
    MutexLock lock(playingLock);
    ++noticeCount;
    playing.reset();
    status.reset();
}

void FillIpcOperations(HostServices& t) {
    t.registerMessage = &RegisterMessage;
}

}  // namespace kiln::classic
