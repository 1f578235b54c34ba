#include "presence_ipc/presence_client.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "core/host_services.h"
#include "platform/process.h"
#include "presence_ipc/presence_state.h"

namespace kiln {
namespace presence_ipc {
namespace {

PresenceClient client;

int64_t NowSeconds() {
    if (const HostServices* host = Host(); host && host->nowSeconds) {
        return host->nowSeconds();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t PacingNow() {
    int64_t (*clock)() = pacingClock.load();
    return clock ? clock() : NowSeconds();
}

void WakeIoThread() {
    if (PresenceIoThread* io = client.ioThread.load(std::memory_order_acquire)) {
        io->Wake();
    }
}

void IoThreadMain(PresenceIoThread* io) {
    // wakeLock is held for every pass and given up only while waiting.
    MutexLock lock(io->wakeLock);
    ServiceConnection();
    io->passesCompleted.fetch_add(1);
    while (io->keepRunning.load()) {
        const bool awaitingReady = client.channel.State() == ChannelState::HandshakeSent;
        io->wakeSignal.wait_until(
            lock.native(), AttemptClock::now() + (awaitingReady ? kHandshakeWait : kIdleWait),
            [io] { return io->wakeRequested.exchange(false) || !io->keepRunning.load(); });
        ServiceConnection();
        io->passesCompleted.fetch_add(1);
    }
}

// The nonce member comes first and holds no comma: what follows the first
// comma is the same for two messages of the same presence.
std::string_view AfterNonce(const char* text, size_t length) {
    const void* comma = std::memchr(text, ',', length);
    if (!comma) {
        return {};
    }
    const size_t at = static_cast<size_t>(static_cast<const char*>(comma) - text);
    return {text + at, length - at};
}

std::string_view NonceOf(const char* text, size_t length) {
    constexpr std::string_view kPrefix = "{\"nonce\":\"";
    const std::string_view all(text, length);
    if (all.substr(0, kPrefix.size()) != kPrefix) {
        return {};
    }
    const size_t end = all.find('"', kPrefix.size());
    return end == std::string_view::npos ? std::string_view{}
                                         : all.substr(kPrefix.size(), end - kPrefix.size());
}

bool PacingAllows(int64_t now) {
    return client.sentCount < kPacedSends || now - client.sentAt[0] >= kPacingWindowSeconds;
}

void RecordAccepted(int64_t now, size_t length) {
    if (client.sentCount == kPacedSends) {
        std::memmove(client.sentAt, client.sentAt + 1, sizeof client.sentAt[0] * (kPacedSends - 1));
        --client.sentCount;
    }
    client.sentAt[client.sentCount++] = now;
    const std::string_view body = AfterNonce(client.sendCopy, length);
    std::memcpy(client.acceptedText, body.data(), body.size());
    client.acceptedLength = body.size();
    CopyText(client.acceptedNonce, std::string(NonceOf(client.sendCopy, length)).c_str());
}

void ReadWaitingMessages() {
    IpcChannel& channel = client.channel;
    // Bounded, so that an application that never stops talking cannot keep
    // the pass (and a shutdown waiting for it) going.
    for (int read = 0; read < kMessagesPerPass && client.channelExists.load(); ++read) {
        Reply reply;
        if (!channel.ReceiveFrame(reply)) {
            return;
        }
        const char* nonce = reply.nonce;
        if (!reply.evt || !nonce || std::strcmp(reply.evt, "ERROR") != 0) {
            continue;  // replies without error and events are not needed
        }
        // Refused: the same presence is no longer one the application holds.
        if (client.acceptedLength > 0 && std::strcmp(nonce, client.acceptedNonce) == 0) {
            client.acceptedLength = 0;
        }
        {
            MutexLock lock(client.handlerLock);
            client.errorRecord.code = reply.dataCode;
            CopyText(client.errorRecord.message, reply.dataMessage ? reply.dataMessage : "");
        }
        client.errorReceived.store(true);
    }
}

void SendPendingActivity() {
    // Held back by the pacing, the slot stays pending: it holds the newest
    // presence, and a later pass sends it once the window allows.
    const int64_t now = PacingNow();
    if (!client.activityPending.load() || !PacingAllows(now) ||
        !client.activityPending.exchange(false)) {
        return;
    }
    size_t length = 0;
    {
        MutexLock lock(client.presenceLock);
        length = static_cast<size_t>(client.slot.length);
        std::memcpy(client.sendCopy, client.slot.text, length);
    }
    if (length == 0) {
        return;
    }
    const std::string_view body = AfterNonce(client.sendCopy, length);
    if (client.acceptedLength > 0 &&
        body == std::string_view(client.acceptedText, client.acceptedLength)) {
        return;  // what the application shows already
    }
    if (client.channel.SendFrame(client.sendCopy, length)) {
        RecordAccepted(now, length);
        return;
    }
    // The slot keeps what was sent, so putting the copy back would only undo
    // what happened meanwhile: a newer message stored during the failed send
    // wins, and a slot emptied by shutdown stays empty. Whatever it holds goes
    // out after the next READY.
    MutexLock lock(client.presenceLock);
    if (client.slot.length > 0) {
        client.activityPending.store(true);
    }
}

}  // namespace

std::atomic<int64_t (*)()> pacingClock{nullptr};

PresenceClient& Client() {
    return client;
}

double DrawBackoffFactor(ReconnectBackoff& backoff) {
    if (!backoff.seeded) {
        backoff.random.seed(static_cast<uint64_t>(NowSeconds()));
        backoff.seeded = true;
    }
    return static_cast<double>(backoff.random()) * 0x1p-64;
}

void ScheduleReconnect() {
    ReconnectBackoff& backoff = client.backoff;
    double r = DrawBackoffFactor(backoff);
    auto growth = static_cast<int64_t>(static_cast<double>(backoff.currentDelayMs) * 2.0 * r);
    backoff.currentDelayMs =
        std::min(backoff.currentDelayMs + growth, ReconnectBackoff::kMaxDelayMs);
    client.nextAttemptTime =
        AttemptClock::now() + std::chrono::milliseconds(backoff.currentDelayMs);
}

void ServiceConnection() {
    if (!client.channelExists.load()) {
        return;
    }
    IpcChannel& channel = client.channel;
    if (channel.State() == ChannelState::Disconnected) {
        if (AttemptClock::now() >= client.nextAttemptTime) {
            ScheduleReconnect();
            channel.OpenChannel();
        }
        return;
    }
    if (channel.State() == ChannelState::HandshakeSent) {
        // READY is looked for on every pass, not only at attempt times, and
        // once it is read the pending presence goes out in the same pass.
        channel.OpenChannel();
        if (channel.State() != ChannelState::Connected) {
            return;
        }
    }
    ReadWaitingMessages();
    SendPendingActivity();
}

void OnChannelReady(const Reply& reply) {
    {
        MutexLock lock(client.handlerLock);
        client.activeHandlers = client.queuedHandlers;
    }
    bool resend = false;
    {
        MutexLock lock(client.presenceLock);
        resend = client.slot.length > 0;
    }
    if (resend) {
        client.activityPending.store(true);
        WakeIoThread();
    }
    const char* id = reply.userId;
    const char* username = reply.userName;
    if (id && username) {
        const char* discriminator = reply.userDiscriminator;
        const char* avatar = reply.userAvatar;
        MutexLock lock(client.handlerLock);
        CopyText(client.user.id, id);
        CopyText(client.user.username, username);
        if (discriminator) {
            CopyText(client.user.discriminator, discriminator);
        }
        CopyText(client.user.avatar, avatar ? avatar : "");
    }
    // A new connection: the application shows nothing of ours yet.
    client.sentCount = 0;
    client.acceptedLength = 0;
    client.justConnected.store(true);
    client.backoff.currentDelayMs = ReconnectBackoff::kMinDelayMs;
}

void OnChannelClosed(int32_t code, const char* message) {
    {
        MutexLock lock(client.handlerLock);
        client.disconnectRecord.code = code;
        CopyText(client.disconnectRecord.message, message);
    }
    client.justDisconnected.store(true);
    ScheduleReconnect();
}

}  // namespace presence_ipc

using namespace presence_ipc;

void InitializePresence(const char* applicationId, const PresenceHandlers* handlers) {
    PresenceClient& c = Client();
    if (c.channelExists.load()) {
        return;
    }
    auto* io = new (std::nothrow) PresenceIoThread;
    if (!io) {
        return;
    }
    {
        MutexLock lock(c.handlerLock);
        c.queuedHandlers = handlers ? *handlers : PresenceHandlers{};
        c.activeHandlers = PresenceHandlers{};
    }
    IpcChannel& channel = c.channel;
    channel.pipe = &ProcessPipeConnection();
    if (applicationId) {
        CopyText(channel.applicationId, applicationId);
    }
    channel.readyHook.store(OnChannelReady);
    channel.closedHook.store(OnChannelClosed);
    c.channelExists.store(true);
    io->keepRunning.store(true);
    try {
        io->thread = std::thread(IoThreadMain, io);
    } catch (const std::system_error&) {
        // Nothing may escape into the host: without a thread the client stays
        // stopped, and the next call tries again.
        c.channelExists.store(false);
        channel.readyHook.store(nullptr);
        channel.closedHook.store(nullptr);
        channel.pipe = nullptr;
        delete io;
        return;
    }
    // Published only now, so that a failed start never frees a holder that
    // UpdatePresence might be signalling.
    c.ioThread.store(io, std::memory_order_release);
}

namespace {

// Builds the message of `record` (none: the clearing message) into the slot.
void StoreActivity(const RichPresence* record) {
    PresenceClient& c = Client();
    {
        MutexLock lock(c.presenceLock);
        int32_t pid = platform::CurrentProcessId();
        int32_t nonce = c.nonceCounter;
        c.nonceCounter = static_cast<int32_t>(static_cast<uint32_t>(nonce) + 1u);
        size_t length =
            record ? WriteActivityMessage(c.slot.text, kActivityCapacity, nonce, pid, *record)
                   : WriteClearActivityMessage(c.slot.text, kActivityCapacity, nonce, pid);
        c.slot.length = length;
        // A text that cannot be sent whole leaves nothing to send (it cannot
        // happen at this capacity; the writer drops an oversized button).
        c.activityPending.store(length > 0);
    }
    WakeIoThread();
}

}  // namespace

void UpdatePresence(const RichPresence& record) {
    StoreActivity(&record);
}

void ClearPresence() {
    StoreActivity(nullptr);
}

void RunPresenceCallbacks() {
    PresenceClient& c = Client();
    if (!c.channelExists.load()) {
        return;
    }
    bool disconnected = c.justDisconnected.exchange(false);
    bool connected = c.channel.State() == ChannelState::Connected;
    auto reportLoss = [&c] {
        MutexLock lock(c.handlerLock);
        if (c.activeHandlers.onDisconnected) {
            c.activeHandlers.onDisconnected(c.disconnectRecord.code, c.disconnectRecord.message);
        }
    };
    // Connected now: a loss before is older than the READY. Not connected: a
    // READY in between is older than the loss.
    if (connected && disconnected) {
        reportLoss();
    }
    if (c.justConnected.exchange(false)) {
        MutexLock lock(c.handlerLock);
        if (c.activeHandlers.onReady) {
            c.activeHandlers.onReady(c.user);
        }
    }
    if (c.errorReceived.exchange(false)) {
        MutexLock lock(c.handlerLock);
        if (c.activeHandlers.onError) {
            c.activeHandlers.onError(c.errorRecord.code, c.errorRecord.message);
        }
    }
    if (!connected && disconnected) {
        reportLoss();
    }
}

void ShutdownPresence() {
    PresenceClient& c = Client();
    if (!c.channelExists.load()) {
        return;
    }
    void (*onDisconnected)(int32_t, const char*) = nullptr;
    {
        MutexLock lock(c.handlerLock);
        onDisconnected = c.activeHandlers.onDisconnected;
    }
    if (onDisconnected) {
        onDisconnected(0, "");
    }
    IpcChannel& channel = c.channel;
    channel.readyHook.store(nullptr);
    channel.closedHook.store(nullptr);
    {
        MutexLock lock(c.presenceLock);
        c.slot.length = 0;
    }
    {
        MutexLock lock(c.handlerLock);
        c.activeHandlers = PresenceHandlers{};
    }
    c.activityPending.store(false);
    if (PresenceIoThread* io = c.ioThread.load()) {
        if (channel.pipe) {
            channel.pipe->abandonWait.store(true);
        }
        {
            // Cleared under the lock so that the wake-up cannot fall between
            // the thread's test of the flag and its wait.
            MutexLock lock(io->wakeLock);
            io->keepRunning.store(false);
        }
        io->wakeSignal.notify_all();
        io->thread.join();
        c.ioThread.store(nullptr);
        delete io;
        if (channel.pipe) {
            channel.pipe->abandonWait.store(false);
        }
    }
    channel.CloseChannel();
    if (channel.pipe) {
        channel.pipe->ClosePipe();
    }
    channel.pipe = nullptr;
    c.channelExists.store(false);
}

}  // namespace kiln
