// Web requests of the host's service table over libcurl easy handles.
#pragma once

#include <cstdint>

#include "plugin/host_services.h"

namespace kiln::host {

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
