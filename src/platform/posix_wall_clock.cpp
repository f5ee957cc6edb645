#include <ctime>

#include "platform/wall_clock.h"

namespace platform {

WallTime wallClockNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec / 1000)};
}

bool localCalendarTime(int64_t seconds, std::tm& out) {
    out = std::tm{};
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, &out) != nullptr;
}

}  // namespace platform
