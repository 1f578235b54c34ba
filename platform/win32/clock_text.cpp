#include "platform/clock_text.h"

#include <windows.h>

namespace kiln::platform {
namespace {

bool LocalSystemTime(int64_t seconds, SYSTEMTIME* local) {
    // Seconds since 1970 to the 100 ns ticks since 1601 of a FILETIME.
    ULONGLONG ticks = static_cast<ULONGLONG>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal;
    return FileTimeToSystemTime(&utc, &universal) &&
           SystemTimeToTzSpecificLocalTime(nullptr, &universal, local);
}

}  // namespace

std::wstring LocalDateText(int64_t secondsSinceEpoch) {
    SYSTEMTIME local;
    wchar_t text[128] = L"";
    if (LocalSystemTime(secondsSinceEpoch, &local)) {
        GetDateFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, 0, &local, L"dd'-'MM'-'yyyy", text, 128,
                        nullptr);
    }
    return text;
}

std::wstring LocalTimeText(int64_t secondsSinceEpoch) {
    SYSTEMTIME local;
    wchar_t text[128] = L"";
    if (LocalSystemTime(secondsSinceEpoch, &local)) {
        GetTimeFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, 0, &local, L"HH':'mm':'ss", text, 128);
    }
    return text;
}

}  // namespace kiln::platform
