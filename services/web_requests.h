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
};
void SetWebRouting(WebRouting routing);

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
