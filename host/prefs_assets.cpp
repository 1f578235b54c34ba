#include "host/prefs_assets.h"

namespace kiln::host {
namespace {

const uint8_t kIndex[] = {
#include "host/prefs_web/index.html.inc"
};
const uint8_t kStyle[] = {
#include "host/prefs_web/prefs.css.inc"
};
const uint8_t kScript[] = {
#include "host/prefs_web/prefs.js.inc"
};
const uint8_t kStream[] = {
#include "host/prefs_web/stream.js.inc"
};
const uint8_t kIcon[] = {
#include "host/prefs_web/icon.svg.inc"
};

const PrefsAsset kAssets[] = {
    {"index.html", "text/html; charset=utf-8", kIndex},
    {"prefs.css", "text/css; charset=utf-8", kStyle},
    {"prefs.js", "text/javascript; charset=utf-8", kScript},
    {"stream.js", "text/javascript; charset=utf-8", kStream},
    {"icon.svg", "image/svg+xml", kIcon},
};

}  // namespace

const PrefsAsset* FindPrefsAsset(std::string_view name) {
    for (const auto& asset : kAssets) {
        if (asset.name == name) {
            return &asset;
        }
    }
    return nullptr;
}

}  // namespace kiln::host
