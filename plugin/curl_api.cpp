#include "plugin/curl_api.h"

#include <mutex>

#include "core/host_contract.h"
#include "platform/library.h"

namespace kiln {

// The option numbers the plug-in passes through the host are libcurl's.
static_assert(contract::kWebOptionPostFields == CURLOPT_POSTFIELDS);
static_assert(contract::kWebOptionPostFieldSize == CURLOPT_POSTFIELDSIZE);
static_assert(contract::kWebOptionHttpVersion == CURLOPT_HTTP_VERSION);
static_assert(contract::kWebHttpVersion11 == CURL_HTTP_VERSION_1_1);
static_assert(contract::kWebOptionSslVerifyPeer == CURLOPT_SSL_VERIFYPEER);
static_assert(contract::kWebOptionNoProgress == CURLOPT_NOPROGRESS);
static_assert(contract::kWebOptionMimePost == CURLOPT_MIMEPOST);
static_assert(contract::kWebOptionXferInfoFunction == CURLOPT_XFERINFOFUNCTION);
static_assert(contract::kWebOptionXferInfoData == CURLOPT_XFERINFODATA);

#if defined(_WIN32)
// gen_kiln.dll links libcurl statically: the functions are always there.
const CurlApi* Curl() {
    static const CurlApi api = {&curl_escape,        &curl_free,      &curl_mime_init,
                                &curl_mime_addpart,  &curl_mime_name, &curl_mime_data,
                                &curl_mime_filedata, &curl_mime_free};
    return &api;
}
#else
const CurlApi* Curl() {
    static CurlApi api{};
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = nullptr;
        for (const char* const* name = platform::CurlLibraryNames(); *name && !library; ++name) {
            library = platform::LoadLibraryByName(*name);
        }
        if (!library) {
            return;
        }
        auto find = [library](const char* symbol) {
            return platform::FindLibrarySymbol(library, symbol);
        };
        api.escape = reinterpret_cast<decltype(api.escape)>(find("curl_escape"));
        api.free = reinterpret_cast<decltype(api.free)>(find("curl_free"));
        api.mimeInit = reinterpret_cast<decltype(api.mimeInit)>(find("curl_mime_init"));
        api.mimeAddPart = reinterpret_cast<decltype(api.mimeAddPart)>(find("curl_mime_addpart"));
        api.mimeName = reinterpret_cast<decltype(api.mimeName)>(find("curl_mime_name"));
        api.mimeData = reinterpret_cast<decltype(api.mimeData)>(find("curl_mime_data"));
        api.mimeFileData = reinterpret_cast<decltype(api.mimeFileData)>(find("curl_mime_filedata"));
        api.mimeFree = reinterpret_cast<decltype(api.mimeFree)>(find("curl_mime_free"));
        loaded = api.escape && api.free && api.mimeInit && api.mimeAddPart && api.mimeName &&
                 api.mimeData && api.mimeFileData && api.mimeFree;
    });
    return loaded ? &api : nullptr;
}

#endif

}  // namespace kiln
