// Settings and paths in a classic player: gen_kiln.ini and the gen_kiln
// folder beside the player's own ini, found at init from the player's narrow
// answer or, where that answer lost characters or cannot be written, from
// wide sources of our own.
//
// Shared between threads: the folders (chosen at init on the main thread;
// the cache entry settled on first use by whichever thread asks first) and
// the settings store (every thread). Both behind locks; the texts the path
// entries hand out stay unchanged from then on until the next init.
#include <windows.h>
// after windows.h, which they need
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classic/classic_host.h"
#include "classic/classic_internal.h"
#include "core/text.h"
#include "core/thread_annotations.h"
#include "services/paths.h"
#include "services/service_operations.h"
#include "services/settings_store.h"

namespace kiln::classic {
namespace {

using host::SettingsStore;

constexpr const wchar_t* kSection = L"gen_kiln";
constexpr const wchar_t* kIniName = L"gen_kiln.ini";
constexpr const wchar_t* kDataName = L"gen_kiln";
// Room for the names the plug-in joins to its data folder ("Logs\kiln_log_
// now.jpg", "cache\artcache\discord.jpg") in its MAX_PATH buffers.
constexpr size_t kNameRoom = 40;

std::wstring_view View(const wchar_t* text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && IsSeparator(path.back())) {
        path.pop_back();
    }
    return path;
}

// folder + '\\' + name, with one separator at the joint.
std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() || IsSeparator(folder.back()) ? folder + name : folder + L"\\" + name;
}

bool HasLongPrefix(std::wstring_view path) {
    return path.rfind(L"\\\\?\\", 0) == 0;
}

// `path` in the form Win32 takes past MAX_PATH when it is at least `limit`
// characters long: \\?\C:\... or \\?\UNC\server\share\...
std::wstring LongForm(std::wstring path, size_t limit) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.size() < limit || HasLongPrefix(path)) {
        return path;
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return path.size() > 2 && path[1] == L':' ? L"\\\\?\\" + path : path;
}

// Characters of the root that is never created: "C:\", "\\server\share\",
// and the same behind \\?\ or \\?\UNC\.
size_t RootLength(std::wstring_view path) {
    size_t start = 0;
    bool unc = false;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        start = 8;
        unc = true;
    } else if (HasLongPrefix(path)) {
        start = 4;
    } else if (path.rfind(L"\\\\", 0) == 0) {
        start = 2;
        unc = true;
    }
    if (!unc) {
        return path.size() >= start + 2 && path[start + 1] == L':' ? start + 3 : start;
    }
    size_t server = path.find(L'\\', start);
    size_t share = server == std::wstring_view::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring_view::npos ? path.size() : share + 1;
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(LongForm(path, MAX_PATH).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether a file can be made in `folder`: a probe that goes when closed.
bool IsWritableFolder(const std::wstring& folder) {
    std::wstring probe = LongForm(folder + L"\\gen_kiln.probe", MAX_PATH);
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

bool CreateFolders(const std::wstring& folder) {
    std::wstring path = LongForm(folder, MAX_PATH - 12);  // CreateDirectoryW's own limit
    for (size_t i = RootLength(path); i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\') {
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
        }
    }
    return IsFolder(path);
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR found = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &found)) && found) {
        folder = found;
    }
    CoTaskMemFree(found);
    return folder;
}

std::wstring FolderOfModule(HMODULE module) {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring ProgramStem() {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    return name.substr(0, name.rfind(L'.'));
}

// The existing folder whose name the ANSI code page turns into `narrow`,
// looked for inside `parent`; the first in name order when several do.
std::optional<std::wstring> MatchEntry(const std::wstring& parent, const std::string& narrow) {
    std::vector<std::wstring> matches;
    WIN32_FIND_DATAW entry;
    HANDLE search =
        FindFirstFileExW(LongForm(Join(parent, L"*"), MAX_PATH).c_str(), FindExInfoBasic, &entry,
                         FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            ToAnsi(entry.cFileName) == narrow) {
            matches.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    if (matches.empty()) {
        return std::nullopt;
    }
    return *std::min_element(matches.begin(), matches.end());
}

// The folder a narrow answer stands for, component by component: a part that
// the code page could not hold (a '?', or a name that does not exist) is
// found among its parent's folders by its narrow form.
std::optional<std::wstring> ResolveNarrowFolder(const std::string& narrow) {
    std::wstring wide = FromAnsi(narrow);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    size_t root = RootLength(wide);
    if (root == 0 || wide.substr(0, root).find(L'?') != std::wstring::npos) {
        return std::nullopt;
    }
    std::wstring folder = wide.substr(0, root);
    std::string rest = ToAnsi(wide.substr(root));
    for (size_t start = 0; start < rest.size();) {
        size_t end = rest.find_first_of("\\/", start);
        std::string part = rest.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? rest.size() : end + 1;
        if (part.empty()) {
            continue;
        }
        std::wstring joined = Join(folder, FromAnsi(part));
        if (part.find('?') == std::string::npos && IsFolder(joined)) {
            folder = joined;
        } else if (auto match = MatchEntry(folder, part)) {
            folder = Join(folder, *match);
        } else {
            return std::nullopt;
        }
    }
    return WithoutTrailingSeparators(folder);
}

// Where gen_kiln.ini is kept, in order of preference: the player's ini
// folder as it answered (resolved when its narrow form lost characters); the
// program's folder, for players that keep their ini beside the program; the
// player's folder under the user's roaming application data; the plug-in's
// own folder. Of these, the first writable one that already holds our ini,
// else the first writable one: the same choice on every run.
std::wstring FindSettingsFolder() {
    std::vector<std::wstring> candidates;
    std::string narrowName;
    if (PlayerHas(kVersion290)) {
        if (std::optional<std::string> narrow = PlayerNarrowText(Ipc(0, kIniDirectory), 4096);
            narrow && !narrow->empty()) {
            if (auto folder = ResolveNarrowFolder(*narrow)) {
                candidates.push_back(*folder);
            }
            std::string trimmed = *narrow;
            while (!trimmed.empty() && (trimmed.back() == '\\' || trimmed.back() == '/')) {
                trimmed.pop_back();
            }
            narrowName = trimmed.substr(trimmed.find_last_of("\\/") + 1);
        }
    }
    auto exists = [](const std::wstring& path) {
        return GetFileAttributesW(LongForm(path, MAX_PATH).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    const std::wstring program = FolderOfModule(nullptr);
    const std::wstring stem = ProgramStem();
    if (!program.empty() &&
        (exists(program + L"\\" + stem + L".ini") || exists(program + L"\\" + kIniName))) {
        candidates.push_back(program);
    }
    if (std::wstring roaming = KnownFolder(FOLDERID_RoamingAppData); !roaming.empty()) {
        std::wstring name = !narrowName.empty() && narrowName.find('?') == std::string::npos
                                ? FromAnsi(narrowName)
                                : stem;
        if (IsFolder(roaming + L"\\" + name)) {
            candidates.push_back(roaming + L"\\" + name);
        }
    }
    candidates.push_back(FolderOfModule(Adapter().module));
    std::erase_if(candidates, [](const std::wstring& c) { return c.empty(); });
    std::vector<std::wstring> writable;
    std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(writable),
                 &IsWritableFolder);
    for (const std::wstring& folder : writable) {
        if (exists(folder + L"\\" + kIniName)) {
            return folder;
        }
    }
    if (!writable.empty()) {
        return writable.front();
    }
    // Nothing writable: the settings are still read from where they are.
    return candidates.empty() ? std::wstring() : candidates.front();
}

struct Folders {
    std::wstring settings;  // holds gen_kiln.ini
    std::wstring data;      // its gen_kiln folder, in its \\?\ form when long
    std::wstring cache;     // settled on first use
};
Mutex foldersLock;
Folders folders GUARDED_BY(foldersLock);

Mutex storeLock;
std::unique_ptr<SettingsStore> store GUARDED_BY(storeLock);

SettingsStore& Store() {
    MutexLock lock(storeLock);
    if (!store) {
        std::wstring folder;
        {
            MutexLock guard(foldersLock);
            folder = folders.settings;
        }
        store = std::make_unique<SettingsStore>(
            std::filesystem::path(LongForm(folder + L"\\" + kIniName, MAX_PATH - 12)));
    }
    return *store;
}

int ReadIntSetting(const wchar_t* section, const wchar_t* key, int def) {
    return Store().ReadInt(View(section), View(key), def);
}
int ReadTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* buffer,
                    int size) {
    return Store().ReadText(View(section), View(key), def, buffer, size);
}
int WriteIntSetting(const wchar_t* section, const wchar_t* key, int value) {
    return Store().WriteInt(View(section), View(key), value) ? 1 : 0;
}
int WriteTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return Store().WriteText(section, key, value) ? 1 : 0;
}
int WriteTemplateSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return Store().WriteTemplate(section, key, value) ? 1 : 0;
}

// Each text is made once per session and stays unchanged until the next
// init, so a thread may keep the pointer.
const wchar_t* PathEntry(int index) {
    MutexLock lock(foldersLock);
    if (folders.data.empty()) {
        return nullptr;
    }
    if (index == contract::kPathEntryLogsParent) {
        return folders.data.c_str();
    }
    if (index != contract::kPathEntryCache) {
        return nullptr;
    }
    if (folders.cache.empty()) {
        // The scrobble cache is the journal of plays not yet sent: where its
        // folder cannot be made or written, the user's local application
        // data keeps it.
        folders.cache = folders.data + L"\\cache";
        if (!CreateFolders(folders.cache) || !IsWritableFolder(folders.cache)) {
            std::wstring local = KnownFolder(FOLDERID_LocalAppData);
            if (!local.empty()) {
                folders.cache = local + L"\\" + kDataName + L"\\cache";
                CreateFolders(folders.cache);
            }
        }
    }
    return folders.cache.c_str();
}

wchar_t* JoinPathOp(wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name) {
    std::wstring joined(View(folder));
    std::wstring tail(View(name));
    std::replace(tail.begin(), tail.end(), L'/', L'\\');
    if ((!tail.empty() && tail[0] == L'\\') || (tail.size() > 1 && tail[1] == L':')) {
        joined = tail;
    } else if (joined.empty()) {
        joined = tail;
    } else {
        if (!IsSeparator(joined.back())) {
            joined += L'\\';
        }
        joined += tail;
    }
    text::CopyToBuffer(joined, dest, destSize);
    return dest;
}

int FileExistsOp(const wchar_t* path) {
    return path && GetFileAttributesW(LongForm(path, MAX_PATH).c_str()) != INVALID_FILE_ATTRIBUTES
               ? 1
               : 0;
}

int CreatePathOp(const wchar_t* folder) {
    return folder && *folder && CreateFolders(folder) ? 1 : 0;
}

// Lexical, as the plug-in expects of its host: never made absolute. A long
// form (\\?\ prefix) keeps its prefix.
void NormalisePathOp(wchar_t* path, int size) {
    if (!path || size <= 0 || !*path) {
        return;
    }
    std::wstring_view text(path);
    const std::wstring prefix = HasLongPrefix(text)           ? L"\\\\?\\"
                                : text.rfind(L"\\\\", 0) == 0 ? L"\\"
                                                              : L"";
    std::wstring clean = host::NormalisePath(text.substr(HasLongPrefix(text) ? 4 : 0));
    std::replace(clean.begin(), clean.end(), L'/', L'\\');
    text::CopyToBuffer(prefix + clean, path, size);
}

}  // namespace

void StartFolders() {
    std::wstring settings = WithoutTrailingSeparators(FindSettingsFolder());
    {
        MutexLock lock(foldersLock);
        folders = Folders{};
        folders.settings = settings;
        if (!settings.empty()) {
            folders.data = settings + L"\\" + kDataName;
        }
        if (folders.data.size() + kNameRoom >= MAX_PATH) {
            // Too deep for the plug-in's paths: its files go to the user's
            // local application data, its settings stay with the player's.
            std::wstring local = KnownFolder(FOLDERID_LocalAppData);
            if (!local.empty()) {
                folders.data = local + L"\\" + kDataName;
            }
        }
    }
    MutexLock lock(storeLock);
    store.reset();
}

std::wstring SettingsFolder() {
    MutexLock lock(foldersLock);
    return folders.settings;
}

int ReadSettingText(const wchar_t* key, const wchar_t* def, wchar_t* buffer, int size) {
    return Store().ReadText(kSection, View(key), def, buffer, size);
}

void RemoveClassicSettings(Instance module, Window parent) {
    State& state = Adapter();
    if (SettingsFolder().empty()) {
        if (!state.module) {
            state.module = static_cast<HINSTANCE>(module);
        }
        // Not started in this process: the settings page's window leads to the player.
        HWND window = static_cast<HWND>(parent);
        while (window && GetParent(window)) {
            window = GetParent(window);
        }
        if (!state.main) {
            state.main = window;
        }
        StartFolders();
    }
    Store().WriteText(kSection, nullptr, nullptr);
}

void FillFolderOperations(HostServices& t) {
    t.readIntSetting = &ReadIntSetting;
    t.readTextSetting = &ReadTextSetting;
    t.writeIntSetting = &WriteIntSetting;
    t.writeTextSetting = &WriteTextSetting;
    t.writeTemplateSetting = &WriteTemplateSetting;
    t.pathEntry = &PathEntry;
    t.joinPath = &JoinPathOp;
    t.createPath = &CreatePathOp;
    t.normalisePath = &NormalisePathOp;
    t.fileExists = &FileExistsOp;
}

}  // namespace kiln::classic
