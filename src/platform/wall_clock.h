#pragma once
#include <cstdint>
#include <ctime>

namespace platform {

// The time of day as seconds since 1970-01-01 UTC and the microseconds
// within that second; for time stamps, never for measuring waits.
struct WallTime {
    int64_t seconds = 0;
    int32_t microseconds = 0;
};

WallTime wallClockNow();

// The local calendar time of `seconds` (as in WallTime); false when the
// system cannot represent it (`out` is then zeroed).
bool localCalendarTime(int64_t seconds, std::tm& out);

}  // namespace platform
