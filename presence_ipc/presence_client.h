// The presence client: keeps a connection to the locally running Discord
// application and hands it the newest rich presence. The four operations
// return at once; all pipe traffic happens on the client's own IO thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiln {

// What the presence shows. Texts are UTF-8, NUL-terminated, in fields whose
// width includes the terminator; an empty text or a 0 time is left out.
struct RichPresence {
    char state[128];
    char details[128];
    int64_t startTime;  // seconds since 1970
    int64_t endTime;
    char largeImage[80];
    char largeText[128];
    char smallImage[32];
    char smallText[32];
    uint8_t instance;
    // Not owned; need to live only for the UpdatePresence call. The button is
    // sent only when both are present and not empty.
    const char* buttonLabel;
    const char* buttonUrl;
};

// The user the application reports at READY; longer texts are cut to the
// width less one.
struct PresenceUser {
    char id[32];
    char username[344];
    char discriminator[8];
    char avatar[128];  // empty when the application reports none
};

// Optional callbacks, each may be null. They run on the thread that calls
// RunPresenceCallbacks and must not call InitializePresence.
struct PresenceHandlers {
    void (*onReady)(const PresenceUser& user);
    // Also called once by ShutdownPresence, with 0 and an empty message.
    void (*onDisconnected)(int32_t code, const char* message);
    void (*onError)(int32_t code, const char* message);
};

// Starts the client unless it already runs (then nothing changes, not even the
// id). `applicationId` is cut to 63 bytes; null handlers means none.
void InitializePresence(const char* applicationId, const PresenceHandlers* handlers);

// Builds the SET_ACTIVITY message of `record` now and leaves it for the IO
// thread; only the newest message is ever sent. Works without a running
// client too: the message then waits for the first connection.
void UpdatePresence(const RichPresence& record);

// Like UpdatePresence, with a message that takes the shown presence away.
void ClearPresence();

// Delivers the events that happened since the last call, on this thread.
void RunPresenceCallbacks();

// Stops the client, waits for its IO thread and closes the pipe; harmless when
// the client does not run. Must never run at the same time as another of
// these four operations.
void ShutdownPresence();

// Inputs of the activity type, read by every UpdatePresence without a lock:
// the status prefix setting "discordprefix" (0, 1 or 2; the settings keep this
// copy current) and the is-video flag of the item now playing (set by the
// presence composer). Mode 2 sends no type; mode 1 sends "watching" for video.
extern std::atomic<uint32_t> presenceActivityMode;
extern std::atomic<bool> presenceIsVideo;

}  // namespace kiln
