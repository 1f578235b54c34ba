// Web requests of the host's service table over libcurl easy handles.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/host_services.h"

namespace kiln::host {

// What the program around the service decides about each request: whether the
// web is reachable at all, and where an address really goes (tests send a
// service's host name to a local fake). Set once, before the first request.
struct WebRouting {
    std::function<bool()> available;
    std::function<std::string(const std::string&)> mapUrl;
    // Whether a request to an address (as the caller gave it, before mapUrl)
    // may leave; unset: every one may. A refused request fails as an
    // unreachable host does, so callers keep what they meant to send.
    std::function<bool(const std::string&)> allows;
    // Sent as the User-Agent; empty: the substitute host's own.
    std::string userAgent;
};
void SetWebRouting(WebRouting routing);

// True for an address whose host is this machine or a private network:
// "localhost", 127/8, 10/8, 172.16/12, 192.168/16, 169.254/16, ::1, fc00::/7
// and fe80::/10, given literally.
bool IsLocalAddress(const std::string& url);

void* CreateWebHandle();
void* BuildWebRequest(void* handle, int mode, char** errorText, WebWriteRoutine write,
                      const char* url, int timeoutSeconds, void* userData);
int SetWebOptionLong(void* handle, int option, long value);
int SetWebOptionPointer(void* handle, int option, const void* value);
int SetWebOptionOffset(void* handle, int option, int64_t value);
int PerformWebRequest(void** handle);
long WebResponseCode(void* handle);
void FreeWebRequest(void* handle, void* request, char* errorText);

}  // namespace kiln::host
