// The few libcurl functions the plug-in calls itself. libcurl is the host's:
// it is loaded on first use, and without it these functions are absent.
#pragma once

#include <curl/curl.h>

namespace kiln {

struct CurlApi {
    char* (*escape)(const char* text, int length);  // curl_escape
    void (*free)(void* block);                      // curl_free
    curl_mime* (*mimeInit)(CURL* handle);
    curl_mimepart* (*mimeAddPart)(curl_mime* mime);
    CURLcode (*mimeName)(curl_mimepart* part, const char* name);
    CURLcode (*mimeData)(curl_mimepart* part, const char* data, size_t size);
    CURLcode (*mimeFileData)(curl_mimepart* part, const char* filename);
    void (*mimeFree)(curl_mime* mime);
};

// Null when libcurl cannot be loaded or lacks one of the functions.
const CurlApi* Curl();

}  // namespace kiln
