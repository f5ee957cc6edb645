#include <windows.h>

#include <ctime>

#include "platform/wall_clock.h"

namespace platform {

namespace {

// FILETIME counts 100 ns steps from 1601-01-01; this many lie before 1970.
constexpr int64_t kEpochOffsetTicks = 116444736000000000LL;

}  // namespace

WallTime wallClockNow() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) - kEpochOffsetTicks;
    return {ticks / 10000000, static_cast<int32_t>(ticks % 10000000 / 10)};
}

bool localCalendarTime(int64_t seconds, std::tm& out) {
    out = std::tm{};
    const __time64_t t = seconds;
    if (_localtime64_s(&out, &t) == 0) return true;
    out = std::tm{};
    return false;
}

}  // namespace platform
