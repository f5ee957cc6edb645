// Time on Windows: the performance counter, and Sleep for pauses.
#include <windows.h>

#include "platform/clock.h"

namespace platform {

namespace {

int64_t counterFrequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : int64_t{1};
    }();
    return frequency;
}

}  // namespace

int64_t monotonicMicros() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const int64_t frequency = counterFrequency();
    const int64_t ticks = now.QuadPart;
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

void sleepMicros(int64_t micros) {
    if (micros <= 0) return;
    // Sleep counts whole milliseconds and may wake early by a tick; the loop
    // makes the pause at least as long as asked.
    const int64_t end = monotonicMicros() + micros;
    for (;;) {
        const int64_t left = end - monotonicMicros();
        if (left <= 0) return;
        const int64_t ms = (left + 999) / 1000;
        Sleep(static_cast<DWORD>(ms < 0x7fffffff ? ms : 0x7fffffff));
    }
}

}  // namespace platform
