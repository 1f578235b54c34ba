#include "plugin/settings.h"

#include "core/host_contract.h"
#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "plugin/rules.h"
#include "plugin/subsystems.h"

namespace kiln {

std::atomic<int> scrobbleFlags{kDefaultScrobble};
std::atomic<int> loggingOn{0};
std::atomic<int> prePost{1};
std::atomic<int> scrobblerLogOn{0};
std::atomic<int> privateMode{0};
wchar_t historyFileTemplate[kPathChars] = L"$pathsafe(kiln_log_%date%.txt)";
wchar_t historyFormat[kLineChars] = L"%date% - %time% - \"%artist%\" - \"%title%\" - %length%";
wchar_t historyFolder[kPathChars] = L"";
wchar_t nowFileTemplate[kPathChars] = L"$pathsafe(kiln_log_now.txt)";
wchar_t nowFormat[kLineChars] = L"%artist% - %title%";
wchar_t nowFolder[kPathChars] = L"";
wchar_t artFileTemplate[kPathChars] = L"$pathsafe(kiln_log_now.jpg)";
wchar_t artFolder[kPathChars] = L"";
std::atomic<int> nowLoggingOn{0};
std::atomic<int> artLimitUpscale{3};
std::atomic<int> artWidthLimit{kDefaultArtLimit};
std::atomic<int> artHeightLimit{kDefaultArtLimit};
std::atomic<int> updateDiscord{0};
std::atomic<int> autoDisableDiscord{0};
std::atomic<int> uploadForDiscord{1};
std::atomic<int> discordSel{0};
std::atomic<int> discordPrefix{0};
wchar_t presenceTemplate[kLineChars] =
    L"\u266B [%artist% - ]$if2(%title%,$filepart(%filename%)) \u266B";
std::atomic<int> postModes{0};
std::atomic<int> postSel{0};
wchar_t postPlay[kPostChars] = L"";
wchar_t postPause[kPostChars] = L"";
wchar_t postUnpause[kPostChars] = L"";
wchar_t postStop[kPostChars] = L"";

namespace {
bool settingsLoaded = false;
Mutex textLock;

void ReadInto(const wchar_t* key, wchar_t* buffer, int size) {
    // The variable's current content is the default, so the read leaves a
    // missing key's compiled-in value in place.
    std::wstring read(static_cast<size_t>(size), L'\0');
    ReadTextSetting(key, buffer, read.data(), size);
    StoreSettingText(buffer, size, read.c_str());
}

void ReadInt(const wchar_t* key, std::atomic<int>& value) {
    value.store(ReadIntSetting(key, value.load()));
}

void DefaultFolder(wchar_t* folder) {
    const HostServices* host = Host();
    if (folder[0] != L'\0' || !host) {
        return;
    }
    const wchar_t* base = host->pathEntry(contract::kPathEntryLogsParent);
    if (base) {
        wchar_t joined[kPathChars] = L"";
        host->joinPath(joined, kPathChars, base, L"Logs");
        StoreSettingText(folder, kPathChars, joined);
    }
}
}  // namespace

std::wstring SettingText(const wchar_t* setting) {
    MutexLock lock(textLock);
    return setting;
}

void StoreSettingText(wchar_t* setting, int size, const wchar_t* text) {
    MutexLock lock(textLock);
    CopyWide(setting, static_cast<size_t>(size), text);
}

bool SettingsLoaded() {
    return settingsLoaded;
}

int ReadTextSetting(const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer, int size) {
    const HostServices* host = Host();
    if (!host) {
        CopyWide(buffer, static_cast<size_t>(size), defaultValue);
        return -1;
    }
    return host->readTextSetting(kSettingsSection, key, defaultValue, buffer, size);
}

int ReadIntSetting(const wchar_t* key, int defaultValue) {
    const HostServices* host = Host();
    return host ? host->readIntSetting(kSettingsSection, key, defaultValue) : defaultValue;
}

int ClampNowLoggingOn(int stored) {
    unsigned value = static_cast<unsigned>(stored);
    if (value > 3) {
        value = 0;
    }
    // Artwork alone still keeps the text file, created empty.
    return value == 2 ? 3 : static_cast<int>(value);
}

int ClampArtLimitUpscale(int stored) {
    return static_cast<unsigned>(stored) > 3 ? 3 : stored;
}

int ClampDiscordPrefix(int stored) {
    return static_cast<unsigned>(stored) > 2 ? 0 : stored;
}

void UnescapeInPlace(wchar_t* buffer, int size) {
    const HostServices* host = Host();
    if (!host || buffer[0] == L'\0') {
        return;
    }
    wchar_t* plain = host->unescapeText(buffer);
    if (plain) {
        StoreSettingText(buffer, size, plain);
        host->freeMemory(plain);
    }
}

void LoadSettings() {
    if (settingsLoaded) {
        return;
    }
    settingsLoaded = true;

    ReadInt(L"scrobble", scrobbleFlags);
    ReadInt(L"logging_on", loggingOn);
    ReadInt(L"prepost", prePost);
    ReadInt(L"scrobbler_log", scrobblerLogOn);
    ReadInt(L"private_mode", privateMode);
    ReadInto(L"file", historyFileTemplate, kPathChars);
    ReadInto(L"format", historyFormat, kLineChars);
    ReadInto(L"log_folder", historyFolder, kPathChars);
    ReadInto(L"now_file", nowFileTemplate, kPathChars);
    ReadInto(L"now_format", nowFormat, kLineChars);
    ReadInto(L"now_log_folder", nowFolder, kPathChars);
    ReadInto(L"art_now_file", artFileTemplate, kPathChars);
    ReadInto(L"art_now_folder", artFolder, kPathChars);

    nowLoggingOn.store(ClampNowLoggingOn(ReadIntSetting(L"now_logging_on", nowLoggingOn.load())));
    artLimitUpscale.store(
        ClampArtLimitUpscale(ReadIntSetting(L"art_limit_upscale", artLimitUpscale.load())));
    ReadInt(L"art_w_limit", artWidthLimit);
    ReadInt(L"art_h_limit", artHeightLimit);
    ReadInt(L"updatediscord", updateDiscord);
    ReadInt(L"autodisablediscord", autoDisableDiscord);
    ReadInt(L"uploadForDiscord", uploadForDiscord);
    ReadInt(L"discordsel", discordSel);
    discordPrefix.store(ClampDiscordPrefix(ReadIntSetting(L"discordprefix", discordPrefix.load())));

    ReadInto(L"discord", presenceTemplate, kLineChars);
    UnescapeInPlace(presenceTemplate, kLineChars);

    ReadInt(L"postmodes", postModes);
    ReadInt(L"postsel", postSel);
    ReadInto(L"postplay", postPlay, kPostChars);
    ReadInto(L"postpause", postPause, kPostChars);
    ReadInto(L"postunpause", postUnpause, kPostChars);
    ReadInto(L"poststop", postStop, kPostChars);
    UnescapeInPlace(postPlay, kPostChars);
    UnescapeInPlace(postPause, kPostChars);
    UnescapeInPlace(postUnpause, kPostChars);
    UnescapeInPlace(postStop, kPostChars);

    LoadRules();

    DefaultFolder(historyFolder);
    DefaultFolder(nowFolder);
    DefaultFolder(artFolder);

    FrameSubsystems().settingsLoaded();
}

}  // namespace kiln
