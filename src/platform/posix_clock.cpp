#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace platform {

int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleepMicros(int64_t micros) {
    if (micros <= 0) return;
    timespec left{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

}  // namespace platform
