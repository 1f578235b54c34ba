#include "platform/clock_text.h"

#include <ctime>

namespace kiln::platform {
namespace {

std::wstring Format(int64_t seconds, const char* picture) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    // Universal time when the zone cannot be applied: never an empty text.
    if (!localtime_r(&t, &local) && !gmtime_r(&t, &local)) {
        return {};
    }
    char text[128];
    size_t n = std::strftime(text, sizeof text, picture, &local);
    return std::wstring(text, text + n);
}

}  // namespace

std::wstring LocalDateText(int64_t secondsSinceEpoch) {
    return Format(secondsSinceEpoch, "%d-%m-%Y");
}

std::wstring LocalTimeText(int64_t secondsSinceEpoch) {
    return Format(secondsSinceEpoch, "%H:%M:%S");
}

}  // namespace kiln::platform
