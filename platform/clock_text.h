// Local date and time as text, made with the system's formatting.
#pragma once

#include <cstdint>
#include <string>

namespace kiln::platform {

// "dd'-'MM'-'yyyy" and "HH':'mm':'ss" of the given moment in local time.
std::wstring LocalDateText(int64_t secondsSinceEpoch);
std::wstring LocalTimeText(int64_t secondsSinceEpoch);

}  // namespace kiln::platform
