// The plug-in's settings: one module-wide variable per key of section
// "gen_kiln", holding its compiled-in default until LoadSettings runs.
// Integers are atomics so that the worker may read what a page is writing;
// texts are buffers replaced on the main thread (see SettingText).
#pragma once

#include <atomic>
#include <string>

namespace kiln {

inline constexpr const wchar_t* kSettingsSection = L"gen_kiln";

inline constexpr int kPathChars = 260;
inline constexpr int kLineChars = 4096;
inline constexpr int kPostChars = 16384;

inline constexpr wchar_t kDefaultHistoryFile[] = L"$pathsafe(kiln_log_%date%.txt)";
inline constexpr wchar_t kDefaultHistoryFormat[] =
    L"%date% - %time% - \"%artist%\" - \"%title%\" - %length%";
inline constexpr wchar_t kDefaultNowFile[] = L"$pathsafe(kiln_log_now.txt)";
inline constexpr wchar_t kDefaultNowFormat[] = L"%artist% - %title%";
inline constexpr wchar_t kDefaultArtFile[] = L"$pathsafe(kiln_log_now.jpg)";
inline constexpr wchar_t kDefaultPresenceTemplate[] =
    L"\u266B [%artist% - ]$if2(%title%,$filepart(%filename%)) \u266B";

// Bits of "scrobble".
inline constexpr int kScrobbleOn = 1;
inline constexpr int kScrobbleNowPlaying = 2;
inline constexpr int kScrobbleLibraryOnly = 4;
// Bits of "now_logging_on".
inline constexpr int kNowText = 1;
inline constexpr int kNowArtwork = 2;
// Bits of "postmodes".
inline constexpr int kPostOnPlay = 1;
inline constexpr int kPostOnPause = 2;
inline constexpr int kPostOnUnpause = 4;
inline constexpr int kPostOnStop = 8;
inline constexpr int kPostRelaxSsl = 16;
// Bits of "art_limit_upscale".
inline constexpr int kArtResize = 1;
inline constexpr int kArtEnlarge = 2;

inline constexpr int kDefaultScrobble = 2;
inline constexpr int kDefaultArtLimit = 600;

extern std::atomic<int> scrobbleFlags;           // "scrobble": 1 on, 2 now-playing, 4 library only
extern std::atomic<int> loggingOn;               // "logging_on"
extern std::atomic<int> prePost;                 // "prepost"
extern std::atomic<int> scrobblerLogOn;          // "scrobbler_log": the portable log too
extern std::atomic<int> privateMode;             // "private_mode": tracking paused
extern wchar_t historyFileTemplate[kPathChars];  // "file"
extern wchar_t historyFormat[kLineChars];        // "format"
extern wchar_t historyFolder[kPathChars];        // "log_folder"
extern wchar_t nowFileTemplate[kPathChars];      // "now_file"
extern wchar_t nowFormat[kLineChars];            // "now_format"
extern wchar_t nowFolder[kPathChars];            // "now_log_folder"
extern wchar_t artFileTemplate[kPathChars];      // "art_now_file"
extern wchar_t artFolder[kPathChars];            // "art_now_folder"
extern std::atomic<int> nowLoggingOn;            // "now_logging_on": 1 text, 2 artwork
extern std::atomic<int> artLimitUpscale;         // "art_limit_upscale": 1 resize, 2 enlarge too
extern std::atomic<int> artWidthLimit;           // "art_w_limit"
extern std::atomic<int> artHeightLimit;          // "art_h_limit"
extern std::atomic<int> updateDiscord;           // "updatediscord"
extern std::atomic<int> autoDisableDiscord;      // "autodisablediscord"
extern std::atomic<int> uploadForDiscord;        // "uploadForDiscord"
extern std::atomic<int> discordSel;              // "discordsel"
extern std::atomic<int> discordPrefix;           // "discordprefix"
extern wchar_t presenceTemplate[kLineChars];     // "discord", unescaped
extern std::atomic<int> postModes;  // "postmodes": 1 play, 2 pause, 4 unpause, 8 stop, 16 relax SSL
extern std::atomic<int> postSel;    // "postsel"
extern wchar_t postPlay[kPostChars];     // "postplay", unescaped
extern wchar_t postPause[kPostChars];    // "postpause"
extern wchar_t postUnpause[kPostChars];  // "postunpause"
extern wchar_t postStop[kPostChars];     // "poststop"

// Reads every setting once; later calls return at once.
void LoadSettings();
bool SettingsLoaded();

// Reads a text setting into a buffer; the default when absent. -1 when the
// store cannot be read (no host).
int ReadTextSetting(const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer, int size);
int ReadIntSetting(const wchar_t* key, int defaultValue);

// Clamps applied after loading, shared with the pages that store the values.
int ClampNowLoggingOn(int stored);
int ClampArtLimitUpscale(int stored);
int ClampDiscordPrefix(int stored);

// Replaces an escaped stored text with its unescaped form, within `size`.
void UnescapeInPlace(wchar_t* buffer, int size);

// The text settings above are written on the host's main thread only (when
// loading and by the pages), each write under one lock; other threads read
// them through SettingText, a copy taken under the same lock, so a worker
// never sees a path half old and half new. The main thread reads them as
// they are.
std::wstring SettingText(const wchar_t* setting);
void StoreSettingText(wchar_t* setting, int size, const wchar_t* text);

}  // namespace kiln
