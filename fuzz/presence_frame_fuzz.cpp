// The frame reader on arbitrary bytes arriving over a real socket.
//
// Input: one control byte, then the bytes the "application" sends. Control
// bit 0: the application hangs up after sending; bit 1: the channel is still
// waiting for READY (otherwise it is connected); bit 2: the application never
// reads, and the client's socket buffer is small, so that Pongs fill it.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "presence_ipc/ipc_channel.h"

namespace {

using kiln::presence_ipc::ChannelState;
using kiln::presence_ipc::IpcChannel;
using kiln::presence_ipc::PipeConnection;
using kiln::presence_ipc::Reply;

int listener = -1;
PipeConnection* connection = nullptr;
IpcChannel* channel = nullptr;
size_t sink = 0;  // keeps the lookups from being optimised away

void Touch(const char* text) {
    sink += text ? std::strlen(text) : 0;
}

void ReadMessage(const Reply& reply) {
    for (const char* text :
         {reply.cmd, reply.evt, reply.nonce, reply.message, reply.dataMessage, reply.userId,
          reply.userName, reply.userDiscriminator, reply.userAvatar}) {
        Touch(text);
    }
    sink += static_cast<size_t>(reply.code) + static_cast<size_t>(reply.dataCode);
}

void Closed(int32_t code, const char* message) {
    sink += static_cast<size_t>(code);
    Touch(message);
}

bool SetUp() {
    static char folder[] = "/tmp/kiln-frame-fuzz-XXXXXX";
    if (!mkdtemp(folder)) {
        return false;
    }
    setenv("XDG_RUNTIME_DIR", folder, 1);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/discord-ipc-0", folder);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0) {
        return false;
    }
    connection = new PipeConnection;
    connection->writeTimeoutMs = 20;  // keeps runs that fill the pipe quick
    channel = new IpcChannel;
    channel->pipe = connection;
    channel->readyHook = ReadMessage;
    channel->closedHook = Closed;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = SetUp();
    if (!ready || size == 0) {
        return 0;
    }
    uint8_t control = data[0];
    ++data;
    --size;
    if (!connection->OpenPipe()) {
        return 0;
    }
    int application = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (application < 0) {
        connection->ClosePipe();
        return 0;
    }
    if (control & 4) {
        // A write that cannot go must give up at its deadline, not hang.
        int small = 4096;
        setsockopt(static_cast<int>(connection->Handle()), SOL_SOCKET, SO_SNDBUF, &small,
                   sizeof small);
    } else {
        // Pongs go back to this end; a buffer as large as the input keeps
        // them from ever blocking.
        int room = static_cast<int>(2 * size + 65536);
        setsockopt(application, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(application, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (control & 1) {
        close(application);
        application = -1;
    }
    channel->lastErrorCode = 0;
    channel->lastErrorMessage[0] = 0;
    if (control & 2) {
        channel->state = ChannelState::HandshakeSent;
        // Looks for READY once, as a connection attempt does.
        channel->OpenChannel();
    } else {
        channel->state = ChannelState::Connected;
    }
    // A message per call; every call consumes at least one frame, so this ends.
    for (size_t round = 0; round <= size; ++round) {
        Reply reply;
        if (!channel->ReceiveFrame(reply)) {
            break;
        }
        ReadMessage(reply);
    }
    channel->state = ChannelState::Disconnected;
    connection->ClosePipe();
    if (application >= 0) {
        close(application);
    }
    return 0;
}
