#pragma once
#include <cstdint>

namespace platform {

// Monotonic time in microseconds since an arbitrary start; never goes back.
int64_t monotonicMicros();

// Sleeps the calling thread; used only where the procedures call for a pause.
void sleepMicros(int64_t micros);

}  // namespace platform
