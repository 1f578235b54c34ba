#include "presence/presence.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "core/host_contract.h"
#include "platform/window.h"
#include "plugin/playback_flags.h"
#include "plugin/plugin.h"
#include "plugin/rules.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"
#include "plugin/template_lines.h"
#include "plugin/timers.h"
#include "presence/application_ids.h"
#include "presence/client_guard.h"
#include "presence/cover_art.h"
#include "presence/utf8_cut.h"

namespace kiln {
namespace {

constexpr int kUtf8CodePage = contract::kCodePageUtf8;
constexpr int kSystemCodePage = 0;
constexpr int kOutputChars = 4096;
constexpr int kCustomIdChars = 24;
constexpr int kTypeAnswerChars = 8;
constexpr int kStatusPaused = 3;
constexpr const char kButtonLabel[] = "Currently Playing Stream";
constexpr const char kLogo[] = "logo";

RichPresence StartRecord() {
    RichPresence record{};
    CopyUtf8Field(record.largeImage, kLogo);
    record.buttonLabel = kButtonLabel;
    return record;
}

// -- worker only
wchar_t customApplicationId[kCustomIdChars] = L"";
wchar_t uploadIdentity[kUploadIdentityChars] = L"";
PresenceVersion composedVersion;
// Something has played since start-up; before that there is nothing to show.
std::atomic<bool> playedSinceStart{false};

// A line break counts as two bytes, so the next line starts two bytes after
// the first break character; never past the end (a cut can leave a lone CR
// last) and never inside a character (a lone break before a multi-byte one).
size_t NextLineStart(std::string_view text, size_t breakAt) {
    size_t start = std::min(breakAt + 2, text.size());
    while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        ++start;
    }
    return start;
}

// Discord refuses the whole activity when a text field that is sent holds
// fewer than two characters; a short one that is not left out gets spaces.
// Characters, not bytes: one CJK character is three bytes and still too short.
void PadToTwoCharacters(char* field, size_t width) {
    size_t length = std::strlen(field);
    if (length == 0) {
        return;
    }
    size_t characters = 0;
    for (size_t i = 0; i < length; ++i) {
        characters += (static_cast<unsigned char>(field[i]) & 0xC0) != 0x80 ? 1 : 0;
    }
    for (; characters < 2 && length + 1 < width; ++characters) {
        field[length++] = ' ';
    }
    field[length] = '\0';
}

// Discord does not show a text made only of spaces, line breaks and other
// characters without a glyph; such a field counts as empty.
bool Invisible(char32_t c) {
    return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || c == 0x34F || c == 0x115F ||
           c == 0x1160 || c == 0x180E || (c >= 0x2000 && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
           c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0;
}

bool HasVisibleCharacter(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t count = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t c = count == 1 ? lead : lead & (0x3F >> (count - 1));
        for (size_t k = 1; k < count && i + k < text.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!Invisible(c)) {
            return true;
        }
        i += count;
    }
    return false;
}

std::string_view Shown(std::string_view text) {
    return HasVisibleCharacter(text) ? text : std::string_view();
}

// A tag's own line breaks, tabs and other control characters would run the
// words together or end the line: each run of them becomes one space.
void AppendCollapsingControls(std::wstring& out, const std::wstring& text) {
    bool inRun = false;
    for (wchar_t c : text) {
        const bool control =
            c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029;
        if (control) {
            if (!inRun) {
                out += L' ';
            }
        } else {
            out += c;
        }
        inRun = control;
    }
}

// The template line by line, so that only its own breaks separate lines.
std::wstring FormatTemplateText(const void* extra) {
    std::wstring out;
    const std::wstring format = SettingText(presenceTemplate);
    for (const wchar_t* line = format.c_str();;) {
        const wchar_t* end = line + std::wcscspn(line, L"\r\n");
        if (end != line) {
            const std::wstring piece(line, end);
            AppendCollapsingControls(
                out, FormatTemplateLines(piece.c_str(), currentLocation, kLocationChars,
                                         contract::kTitleModePlain, extra, kOutputChars));
        }
        if (*end == L'\0') {
            break;
        }
        out += *end;
        line = end + 1;
    }
    if (out.size() >= static_cast<size_t>(kOutputChars)) {
        out.resize(kOutputChars - 1);
    }
    return out;
}

size_t FindBreak(std::string_view text, size_t from) {
    return from >= text.size() ? std::string_view::npos : text.find_first_of("\r\n", from);
}

struct StateLook {
    const char* smallImage;
    const char* smallText;
    const char* stateFallback;
};

StateLook LookOf(int state) {
    switch (state) {
        case kPresenceStopped:
            return {"stop", "Stopped", "Stopped"};
        case kPresencePaused:
            return {"pause", "Paused", "Paused"};
        default:
            return {"play", "Playing", ""};
    }
}

void SetTimes(const HostServices* host, bool playing) {
    presenceRecord.startTime = 0;
    presenceRecord.endTime = 0;
    if (!playing || !host) {
        return;
    }
    int length = host->currentLengthSeconds();
    if (length <= 0) {
        return;
    }
    // The item began `position` ago: Discord then counts the elapsed time
    // from its real start, also after a resume or a seek.
    int position = host->playbackPositionMs();
    presenceRecord.startTime = host->nowSeconds() - (position > 0 ? position / 1000 : 0);
    presenceRecord.endTime = presenceRecord.startTime + length;
}

// The application id for this send, into `out`.
void ChooseApplicationId(const HostServices* host, char (&out)[64]) {
    int choice = discordSel.load();
    const char* chosen = nullptr;
    char* converted = nullptr;
    if (choice == 3) {
        int read = ReadTextSetting(L"discord_app_id", L"", customApplicationId, kCustomIdChars);
        if (read >= 0 && customApplicationId[0] != L'\0') {
            converted = host->wideToNarrow(customApplicationId, -1, kSystemCodePage);
            chosen = converted && converted[0] != '\0' ? converted : kBuiltInApplicationIds[0];
        }
    }
    if (!chosen) {
        chosen = kBuiltInApplicationIds[choice == 1 || choice == 2 ? choice : 0];
    }
    CopyUtf8Field(out, chosen);
    if (converted) {
        host->freeMemory(converted);
    }
}

bool IsStreamButton(const HostServices* host, const char* location) {
    return location && location[0] != '\0' && host->isStreamUtf8(location) != 0 &&
           host->prefixEqualUtf8(location, "cda://", 6) == 0 &&
           host->prefixEqualUtf8(location, "zip://", 6) == 0;
}

// The upload identity names this installation's image on the server; made
// once and kept in the settings.
void EnsureUploadIdentity(const HostServices* host) {
    ReadTextSetting(L"discord_uid", L"", uploadIdentity, kUploadIdentityChars);
    if (uploadIdentity[0] == L'\0') {
        host->randomIdentifier(uploadIdentity, kUploadIdentityChars);
        host->writeTextSetting(kSettingsSection, L"discord_uid", uploadIdentity);
    }
}

}  // namespace

RichPresence presenceRecord = StartRecord();
std::atomic<bool> presenceVideoFlag{false};

std::string FormatPresenceText(const void* extra) {
    std::string result;
    const HostServices* host = Host();
    if (!host) {
        return result;
    }
    // Line by line: undoing escapes after formatting would also undo a tag's
    // own backslashes.
    const std::wstring plain = FormatTemplateText(extra);
    if (!plain.empty()) {
        char* utf8 =
            host->wideToNarrow(plain.c_str(), static_cast<int>(plain.size()), kUtf8CodePage);
        if (utf8) {
            result.assign(utf8);
            host->freeMemory(utf8);
        }
    }
    size_t limit = result.find_first_of("\r\n") != std::string::npos ? kPresenceCutWithBreak
                                                                     : kPresenceCutOneLine;
    result.resize(Utf8CutLength(result, limit));
    return result;
}

void ComposePresence(std::string_view text, int state) {
    const HostServices* host = Host();
    const bool legacy = discordPrefix.load() == 2;
    composedVersion.sequence = BeginPresenceComposition();
    composedVersion.activityMode = static_cast<uint32_t>(discordPrefix.load());
    composedVersion.isVideo = presenceVideoFlag.load();

    std::string line1(text);
    std::string line2;
    std::string line3;
    if (size_t p = FindBreak(line1, 0); p != std::string::npos) {
        line2 = line1.substr(NextLineStart(line1, p));
        line1.resize(p);
    }
    if (!legacy) {
        size_t last = std::string::npos;
        for (size_t hit = FindBreak(line2, 0); hit != std::string::npos;
             hit = FindBreak(line2, hit + 2)) {
            last = hit;
        }
        if (last != std::string::npos) {
            line3 = line2.substr(NextLineStart(line2, last));
            line2.resize(last);
        }
    }

    const bool playing = state == kPresencePlaying;
    if (playing && !HasVisibleCharacter(line1)) {
        line1.swap(line2);
        line2.clear();
    }
    SetTimes(host, playing);

    // A field with nothing visible is left out, or takes the state's text.
    CopyUtf8Field(presenceRecord.largeText, Shown(legacy ? text : std::string_view(line3)));
    CopyUtf8Field(presenceRecord.details, Shown(line1));
    const StateLook look = LookOf(state);
    const std::string_view shownState = Shown(line2);
    CopyUtf8Field(presenceRecord.state,
                  !shownState.empty() ? shownState : std::string_view(look.stateFallback));
    CopyUtf8Field(presenceRecord.smallImage, look.smallImage);
    CopyUtf8Field(presenceRecord.smallText, look.smallText);
    PadToTwoCharacters(presenceRecord.details, sizeof presenceRecord.details);
    PadToTwoCharacters(presenceRecord.state, sizeof presenceRecord.state);
    PadToTwoCharacters(presenceRecord.largeText, sizeof presenceRecord.largeText);
}

void SendPresence(char* location, std::string_view text) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    char applicationId[64];
    ChooseApplicationId(host, applicationId);
    StartPresenceClient(applicationId, composedVersion.sequence);

    const bool withButton = IsStreamButton(host, location);
    presenceRecord.buttonUrl = withButton ? location : nullptr;
    EnsureUploadIdentity(host);
    CopyUtf8Field(presenceRecord.largeImage, kLogo);

    // The text never waits for the image: it goes now, with the image when it
    // is known, and again with it once a pending one is on the server.
    const bool withArt = uploadForDiscord.load() != 0 && uploadIdentity[0] != L'\0';
    const ItemImage image =
        withArt ? CoverArtForItem(currentLocation, text, uploadIdentity) : ItemImage{};
    if (image.status == ItemImage::Ready) {
        CopyUtf8Field(presenceRecord.largeImage, image.address);
    }
    SendPresenceRecord(presenceRecord, composedVersion);
    if (image.status == ItemImage::Pending) {
        AwaitCoverArt(presenceRecord, composedVersion, currentLocation, text);
    }
    presenceRecord.buttonUrl = nullptr;
    if (location) {
        host->freeMemory(location);
    }
}

void RefreshDiscordPresence(const void* extra) {
    if (updateDiscord.load() == 0) {
        return;
    }
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    if (privateMode.load() != 0) {
        // Tracking is paused: nothing is shown, not even the last item.
        ClearPresenceRecord(BeginPresenceComposition());
        return;
    }
    if (!CurrentPlayReaches(kToDiscord)) {
        // The rules keep this play from Discord: nothing is shown, not the
        // play before it either.
        ClearPresenceRecord(BeginPresenceComposition());
        return;
    }
    std::string text = FormatPresenceText(extra);
    const int status = host->playbackStatus();
    if (playbackStarted.load() || status != 0) {
        playedSinceStart.store(true);
    }
    if (!playedSinceStart.load() || currentLocation[0] == L'\0') {
        // No item: take away what is shown, and otherwise send nothing (not
        // even a connection) that a play would replace at once.
        ClearPresenceRecord(BeginPresenceComposition());
        return;
    }
    if (discordPrefix.load() == 1) {
        wchar_t answer[kTypeAnswerChars] = L"";
        host->currentMetadataField(currentLocation, kLocationChars, L"type", answer,
                                   kTypeAnswerChars, extra);
        presenceVideoFlag.store(answer[0] == L'1');
    }
    const bool started = playbackStarted.load();
    if (started && status != kStatusPaused) {
        ComposePresence(text, kPresencePlaying);
    } else {
        // A started, paused playback that has also been hard-stopped counts
        // as stopped.
        const bool stopped = hardStopped.load() || !started;
        ComposePresence(text, stopped ? kPresenceStopped : kPresencePaused);
        if (stopped && hardStopped.load() && autoDisableDiscord.load() != 0) {
            ScheduleTimer(kPresenceTimerId, kAutoDisableDelayMs, &AutoDisableTimerProc, 0);
        }
    }
    SendPresence(host->wideToNarrow(currentLocation, -1, kUtf8CodePage), text);
}

void PrefetchPresenceCover() {
    const HostServices* host = Host();
    if (!host || updateDiscord.load() == 0 || uploadForDiscord.load() == 0) {
        return;
    }
    // Formatting fills currentLocation with the item now playing, as the
    // presence step after the pause will.
    const std::string text = FormatPresenceText(nullptr);
    if (currentLocation[0] == L'\0') {
        return;
    }
    EnsureUploadIdentity(host);
    if (uploadIdentity[0] != L'\0') {
        CoverArtForItem(currentLocation, text, uploadIdentity);
    }
}

void AutoDisableTimerProc(Window, unsigned, uintptr_t timerId, uint32_t) {
    CancelTimer(timerId);
    if (timerId == kPresenceTimerId) {
        ShutdownPresenceClient();
    }
}

void RestartPresence() {
    ShutdownPresenceClient();
    SignalWorker(WorkerEvent::PresenceRefresh);
}

void ShutdownPresenceForQuit() {
    ShutdownPresenceClientForQuit();
    StopCoverArtUploadsForQuit();
}

void ReopenPresence() {
    playedSinceStart.store(false);
    ReopenPresenceClient();
    ReopenCoverArtUploads();
}

}  // namespace kiln
