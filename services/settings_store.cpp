#include "services/settings_store.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "services/text_services.h"

namespace kiln::host {
namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool HasLineBreak(std::wstring_view text) {
    return text.find_first_of(L"\r\n") != text.npos;
}

bool HasBlankEdges(std::wstring_view text) {
    return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

bool ValidSection(std::wstring_view name) {
    return !name.empty() && name.find(L']') == name.npos && !HasLineBreak(name) &&
           !HasBlankEdges(name);
}

bool ValidKey(std::wstring_view key) {
    return !key.empty() && key.find(L'=') == key.npos && key.front() != L';' &&
           key.front() != L'[' && !HasLineBreak(key) && !HasBlankEdges(key);
}

// Values that plain storage would change are quoted; see the header.
std::wstring EncodeValue(std::wstring_view value) {
    const bool quote =
        HasBlankEdges(value) || HasLineBreak(value) || (!value.empty() && value.front() == L'"');
    if (!quote) {
        return std::wstring(value);
    }
    return L"\"" + EscapeText(value) + L"\"";
}

std::wstring DecodeValue(std::wstring_view stored) {
    if (stored.size() >= 2 && stored.front() == L'"' && stored.back() == L'"') {
        return UnescapeText(stored.substr(1, stored.size() - 2));
    }
    return std::wstring(stored);
}

#if !defined(_WIN32)
bool WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}
#endif

}  // namespace

std::wstring EscapeText(std::wstring_view text) {
    size_t leading = 0;
    while (leading < text.size() && text[leading] == L' ') {
        ++leading;
    }
    size_t trailing = 0;
    while (trailing < text.size() - leading && text[text.size() - 1 - trailing] == L' ') {
        ++trailing;
    }
    std::wstring out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        switch (c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\t':
                out += L"\\t";
                break;
            case L' ':
                if (i < leading || i >= text.size() - trailing) {
                    out += L"\\s";
                } else {
                    out += L' ';
                }
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring UnescapeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c != L'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        switch (text[i + 1]) {
            case L'\\':
                out += L'\\';
                break;
            case L'r':
                out += L'\r';
                break;
            case L'n':
                out += L'\n';
                break;
            case L't':
                out += L'\t';
                break;
            case L's':
                out += L' ';
                break;
            default:
                // Not one of ours (a Windows path, say): keep it as it stands.
                out += c;
                continue;
        }
        ++i;
    }
    return out;
}

SettingsStore::SettingsStore(std::filesystem::path iniFile) : file_(std::move(iniFile)) {
    Reload();
}

int SettingsStore::ReadInt(std::wstring_view section, std::wstring_view key, int def) const {
    const auto value = Get(section, key);
    if (!value) {
        return def;
    }
    const auto number = ParseInteger(*value);
    if (!number || *number < INT_MIN || *number > int64_t{UINT_MAX}) {
        return def;
    }
    return static_cast<int>(static_cast<uint32_t>(*number));
}

int SettingsStore::ReadText(std::wstring_view section, std::wstring_view key, const wchar_t* def,
                            wchar_t* buffer, int size) const {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    try {
        // Taken as a copy first: the default may live in the buffer itself.
        auto value = Get(section, key);
        const std::wstring text = value ? std::move(*value) : std::wstring(def ? def : L"");
        return CopyToBuffer(text, buffer, size);
    } catch (...) {
        buffer[0] = L'\0';
        return 0;
    }
}

std::optional<std::wstring> SettingsStore::Get(std::wstring_view section,
                                               std::wstring_view key) const {
    try {
        MutexLock lock(mutex_);
        if (const Line* line = Find(document_, section, key)) {
            return line->value;
        }
    } catch (...) {
    }
    return std::nullopt;
}

bool SettingsStore::WriteInt(std::wstring_view section, std::wstring_view key, int value) {
    try {
        const std::wstring text = Utf8ToWide(Int64ToText(value));
        const std::wstring_view view = text;
        MutexLock lock(mutex_);
        return WriteLocked(section, &key, &view);
    } catch (...) {
        return false;
    }
}

bool SettingsStore::WriteText(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    if (section == nullptr) {
        return false;
    }
    try {
        const std::wstring_view keyView = key ? key : L"";
        const std::wstring_view valueView = value ? value : L"";
        MutexLock lock(mutex_);
        return WriteLocked(section, key ? &keyView : nullptr, value ? &valueView : nullptr);
    } catch (...) {
        return false;
    }
}

bool SettingsStore::WriteTemplate(const wchar_t* section, const wchar_t* key,
                                  const wchar_t* value) {
    return WriteText(section, key, value);
}

void SettingsStore::Reload() {
    try {
        std::string content;
        if (std::ifstream in(file_, std::ios::binary); in) {
            std::ostringstream bytes;
            bytes << in.rdbuf();
            content = std::move(bytes).str();
        }
        Document parsed = Parse(content);
        MutexLock lock(mutex_);
        document_ = std::move(parsed);
    } catch (...) {
        MutexLock lock(mutex_);
        document_.clear();
    }
}

bool SettingsStore::WriteLocked(std::wstring_view section, const std::wstring_view* key,
                                const std::wstring_view* value) {
    if (!ValidSection(section) || (key != nullptr && !ValidKey(*key))) {
        return false;
    }
    // Changed on a copy, so that a failed save leaves the store as the file is.
    Document changed = document_;
    bool modified = true;
    if (key == nullptr) {
        modified = RemoveSection(changed, section);
    } else if (value == nullptr) {
        modified = RemoveKey(changed, section, *key);
    } else {
        Set(changed, section, *key, *value);
    }
    if (!modified) {
        return true;
    }
    if (!SaveLocked(changed)) {
        return false;
    }
    document_ = std::move(changed);
    return true;
}

bool SettingsStore::SaveLocked(const Document& document) const {
    const std::string content = Serialise(document);
    std::error_code error;
    if (file_.has_parent_path()) {
        std::filesystem::create_directories(file_.parent_path(), error);
    }
    std::filesystem::path temporary = file_;
    temporary += ".tmp";
#if defined(_WIN32)
    // The file lands in the user's own profile folders, private by their rights.
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD wrote = 0;
    bool ok =
        WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr) &&
        wrote == content.size() && FlushFileBuffers(handle);
    ok = CloseHandle(handle) && ok;
    if (ok && MoveFileExW(temporary.c_str(), file_.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(temporary.c_str());
    return false;
}
#else
    // The file holds a session key: private unless it was made otherwise.
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat existing {};
    if (::stat(file_.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    }
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, content) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), file_.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}
#endif

SettingsStore::Document SettingsStore::Parse(const std::string& content) {
    std::string_view rest = content;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
        rest.remove_prefix(3);
    }
    Document document;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view raw = rest.substr(0, end);
        rest.remove_prefix(end == rest.npos ? rest.size() : end + 1);
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        Line line;
        line.raw = std::string(raw);
        const std::wstring wide = Utf8ToWide(raw);
        const std::wstring_view text = Trim(wide);
        const size_t close = text.find(L']');
        const size_t equals = text.find(L'=');
        if (text.empty() || text.front() == L';') {
            line.kind = Line::Kind::Other;
        } else if (text.front() == L'[' && close != text.npos) {
            line.kind = Line::Kind::Header;
            line.name = std::wstring(Trim(text.substr(1, close - 1)));
        } else if (equals != text.npos && !Trim(text.substr(0, equals)).empty()) {
            line.kind = Line::Kind::Entry;
            line.name = std::wstring(Trim(text.substr(0, equals)));
            line.value = DecodeValue(Trim(text.substr(equals + 1)));
        }
        document.push_back(std::move(line));
    }
    return document;
}

std::string SettingsStore::Serialise(const Document& document) {
    std::string out;
    for (const Line& line : document) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

const SettingsStore::Line* SettingsStore::Find(const Document& document, std::wstring_view section,
                                               std::wstring_view key) {
    bool inSection = false;
    for (const Line& line : document) {
        if (line.kind == Line::Kind::Header) {
            inSection = line.name == section;
        } else if (inSection && line.kind == Line::Kind::Entry && line.name == key) {
            return &line;
        }
    }
    return nullptr;
}

void SettingsStore::Set(Document& document, std::wstring_view section, std::wstring_view key,
                        std::wstring_view value) {
    Line entry;
    entry.kind = Line::Kind::Entry;
    entry.name = std::wstring(key);
    entry.value = std::wstring(value);
    entry.raw = WideToUtf8(key) + "=" + WideToUtf8(EncodeValue(value));

    bool inSection = false;
    for (Line& line : document) {
        if (line.kind == Line::Kind::Header) {
            inSection = line.name == section;
        } else if (inSection && line.kind == Line::Kind::Entry && line.name == key) {
            line = std::move(entry);
            return;
        }
    }
    for (size_t i = 0; i < document.size(); ++i) {
        if (document[i].kind != Line::Kind::Header || document[i].name != section) {
            continue;
        }
        // After the section's last key, ahead of comments that may introduce
        // the next section.
        size_t at = i + 1;
        for (size_t j = i + 1; j < document.size() && document[j].kind != Line::Kind::Header; ++j) {
            if (document[j].kind == Line::Kind::Entry) {
                at = j + 1;
            }
        }
        document.insert(document.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
        return;
    }
    if (!document.empty() && !Trim(Utf8ToWide(document.back().raw)).empty()) {
        document.push_back(Line{});
    }
    Line header;
    header.kind = Line::Kind::Header;
    header.name = std::wstring(section);
    header.raw = "[" + WideToUtf8(section) + "]";
    document.push_back(std::move(header));
    document.push_back(std::move(entry));
}

bool SettingsStore::RemoveKey(Document& document, std::wstring_view section,
                              std::wstring_view key) {
    bool inSection = false;
    bool removed = false;
    for (size_t i = 0; i < document.size();) {
        const Line& line = document[i];
        if (line.kind == Line::Kind::Header) {
            inSection = line.name == section;
        } else if (inSection && line.kind == Line::Kind::Entry && line.name == key) {
            document.erase(document.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
            continue;
        }
        ++i;
    }
    return removed;
}

bool SettingsStore::RemoveSection(Document& document, std::wstring_view section) {
    bool inSection = false;
    bool removed = false;
    for (size_t i = 0; i < document.size();) {
        const Line& line = document[i];
        if (line.kind == Line::Kind::Header) {
            inSection = line.name == section;
        }
        if (inSection) {
            document.erase(document.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
            continue;
        }
        ++i;
    }
    return removed;
}

}  // namespace kiln::host
