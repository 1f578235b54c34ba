// The substitute host's settings store: one INI file per profile folder.
//
// File format (UTF-8, a leading byte-order mark is skipped):
//   [section]
//   key=value
//   ; comment
// Lines end with LF when written; CR LF is accepted when read. Section names
// and keys are case-sensitive and kept as written. Spaces and tabs around a
// key and around a value are not part of them. A value that would not
// survive that (leading or trailing blanks, a line break, a leading '"') is
// written in quotes, "...", with its inside in the EscapeText form; any value
// in quotes is read that way, so hand-written quoted values work too. Every
// other value, '=', ';' and '\' included, is stored as it is. There are no
// comments after a value.
//
// Comments, blank lines, unknown sections and keys and lines the store does
// not understand survive every rewrite in place. When a key occurs twice, the
// first one counts.
//
// Every write is saved at once: the whole file goes to "<file>.tmp", is
// flushed to disk and renamed over the file, so a crash leaves either the old
// file or the new one. A write that cannot be saved changes nothing and
// returns false. All operations lock one mutex; nothing throws.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/thread_annotations.h"

namespace kiln::host {

// Multi-line text to one line that an INI value can hold and back:
// '\' -> "\\", CR -> "\r", LF -> "\n", TAB -> "\t", and each leading or
// trailing space -> "\s". UnescapeText(EscapeText(t)) == t for every text;
// UnescapeText leaves every other backslash as it is, so text without these
// sequences comes back unchanged.
std::wstring EscapeText(std::wstring_view text);
std::wstring UnescapeText(std::wstring_view text);

class SettingsStore {
  public:
    // Reads the file if it exists; a missing or unreadable file is an empty store.
    explicit SettingsStore(std::filesystem::path iniFile);

    // Decimal with an optional sign, blanks around it allowed; anything else,
    // and an absent key, gives `def`. Values from 2^31 to 2^32 - 1 are read as
    // the 32-bit pattern they stand for (4294967295 is -1).
    int ReadInt(std::wstring_view section, std::wstring_view key, int def) const;
    // The value, or `def` (null: empty) when absent, cut to size - 1
    // characters and terminated. `def` may be `buffer` itself. Returns the
    // characters copied.
    int ReadText(std::wstring_view section, std::wstring_view key, const wchar_t* def,
                 wchar_t* buffer, int size) const;
    std::optional<std::wstring> Get(std::wstring_view section, std::wstring_view key) const;

    bool WriteInt(std::wstring_view section, std::wstring_view key, int value);
    // A null value removes the key, a null key the whole section. Removing
    // what is not there succeeds. Section names holding ']' and keys holding
    // '=', starting with ';' or '[', or with blanks around them cannot be
    // stored; neither can line breaks in either. Those writes return false.
    bool WriteText(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // Templates are stored like any other text.
    bool WriteTemplate(const wchar_t* section, const wchar_t* key, const wchar_t* value);

    // Reads the file again, dropping what was held.
    void Reload();

    const std::filesystem::path& File() const { return file_; }

  private:
    struct Line {
        enum class Kind { Other, Header, Entry };
        Kind kind = Kind::Other;
        std::string raw;     // as in the file, without line end
        std::wstring name;   // section name of a header, key of an entry
        std::wstring value;  // decoded value of an entry
    };
    using Document = std::vector<Line>;

    static Document Parse(const std::string& content);
    static std::string Serialise(const Document& document);
    static const Line* Find(const Document& document, std::wstring_view section,
                            std::wstring_view key);
    static void Set(Document& document, std::wstring_view section, std::wstring_view key,
                    std::wstring_view value);
    static bool RemoveKey(Document& document, std::wstring_view section, std::wstring_view key);
    static bool RemoveSection(Document& document, std::wstring_view section);

    bool WriteLocked(std::wstring_view section, const std::wstring_view* key,
                     const std::wstring_view* value) REQUIRES(mutex_);
    bool SaveLocked(const Document& document) const REQUIRES(mutex_);

    const std::filesystem::path file_;
    mutable Mutex mutex_;
    Document document_ GUARDED_BY(mutex_);
};

}  // namespace kiln::host
