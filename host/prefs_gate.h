// The preferences server's front door, shared by prefs_server.cpp (routes
// and state) and prefs_gate.cpp (connections): the limits every client is
// held to, and httplib's parser and routes as the gate's workers use them.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "host/prefs_server.h"

namespace kiln::host {
namespace gate {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What one client may ask of the server. Actions are a few hundred bytes;
// the page's own requests carry a browser's usual headers.
inline constexpr size_t kMaxHead = 16 * 1024;
inline constexpr size_t kMaxBody = 64 * 1024;
// A request arrives whole within this time of its connection's start or of
// the previous answer, or the connection is closed: one byte now and then
// keeps nothing open.
inline constexpr auto kRequestTime = 5s;
// An answer is written within this time, or the connection is dropped.
inline constexpr auto kWriteTime = 3s;
inline constexpr int kMaxRequestsPerConnection = 100;
// Connections still sending a request; a new one beyond this pushes out the
// oldest, the likeliest to be stalling.
inline constexpr size_t kMaxWaiting = 64;
// Event streams: a browser's tabs share one, so a few are plenty; a new one
// beyond this retires the oldest.
inline constexpr size_t kMaxStreams = 8;
// A stream whose reader lets this much pile up is dropped.
inline constexpr size_t kMaxStreamBacklog = 1 << 20;
inline constexpr int kWorkers = 4;

// Called by the events route: the connection of the request being served
// becomes an event stream, which the gate writes from then on.
void ClaimForStream();

}  // namespace gate

// A client's connection, owned by whichever of the gate or a worker handles it.
struct PrefsServer::Connection {
    int fd = -1;
    std::string in;   // received, not yet answered
    size_t size = 0;  // of the request at the front of `in`, once complete
    std::string out;  // streams: written as the socket takes it
    gate::Clock::time_point deadline;
    int served = 0;
    bool closing = false;  // refused: draining what the client still sends

    ~Connection();  // closes fd
};

// httplib's request parser and routes, fed with requests the gate has read
// in full; its own accept loop and thread pool are never started.
struct PrefsServer::Router : httplib::Server {
    bool Serve(httplib::Stream& stream, bool last, bool& closed) {
        return process_request(stream, last, closed, nullptr);
    }
};

}  // namespace kiln::host
