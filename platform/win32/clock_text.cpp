#include "platform/clock_text.h"

#include <windows.h>

#include <cwchar>

namespace kiln::platform {
namespace {

// Local time, or universal time when the zone cannot be applied.
SYSTEMTIME SystemTimeOf(int64_t seconds) {
    // Seconds since 1970 to the 100 ns ticks since 1601 of a FILETIME.
    ULONGLONG ticks = static_cast<ULONGLONG>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&utc, &universal)) {
        return universal;
    }
    return SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) ? local : universal;
}

}  // namespace

// The locale calls fail on some systems (Wine with the default locale); the
// digits are then formatted here, so the text is never empty.
std::wstring LocalDateText(int64_t secondsSinceEpoch) {
    const SYSTEMTIME t = SystemTimeOf(secondsSinceEpoch);
    wchar_t text[128] = L"";
    if (GetDateFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, 0, &t, L"dd'-'MM'-'yyyy", text, 128, nullptr) <=
        1) {
        swprintf(text, 128, L"%02u-%02u-%04u", unsigned{t.wDay}, unsigned{t.wMonth},
                 unsigned{t.wYear});
    }
    return text;
}

std::wstring LocalTimeText(int64_t secondsSinceEpoch) {
    const SYSTEMTIME t = SystemTimeOf(secondsSinceEpoch);
    wchar_t text[128] = L"";
    if (GetTimeFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, 0, &t, L"HH':'mm':'ss", text, 128) <= 1) {
        swprintf(text, 128, L"%02u:%02u:%02u", unsigned{t.wHour}, unsigned{t.wMinute},
                 unsigned{t.wSecond});
    }
    return text;
}

}  // namespace kiln::platform
