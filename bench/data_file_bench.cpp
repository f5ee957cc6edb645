// Writes and reads a data file of 100 000 setpoint lines and prints the
// times. Target: each direction well under a second on one core.

#include <chrono>
#include <cstdio>
#include <string>

#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "platform/console.h"

namespace {

class QuietConsole : public platform::Console {
public:
    int getKey() override { return 13; }
    bool keyWaiting() override { return false; }
    void write(const char*, std::size_t) override {}
    void clearScreen() override {}
};

constexpr int32_t kSetpoints = 100000;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    QuietConsole quiet;
    platform::setConsole(&quiet);

    resetImage();
    image.model = 4344;
    image.outputQuantity = 128;
    configModel = 4344;
    firstChannel = 0;
    lastChannel = 127;
    allocateSetpoints(kSetpoints);
    for (int32_t i = 0; i < kSetpoints; ++i) setpoints[i] = {i % 48, i % 128, (i * 37) % 3600, (i * 37 + 90) % 3600};
    setpointCount = kSetpoints;
    for (int n = 2; n < kFunctionCount; ++n) blockAbsent[n] = 0;

    dataFile = std::tmpfile();
    if (dataFile == nullptr) {
        std::printf("cannot create a temporary file\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    writeDataFile();
    std::fflush(dataFile);
    const double writeSeconds = secondsSince(start);
    const long bytes = std::ftell(dataFile);

    std::rewind(dataFile);
    resetImage();
    image.model = 4344;
    image.outputQuantity = 128;
    releaseSetpoints();
    start = std::chrono::steady_clock::now();
    if (!findModelLine()) std::printf("model line not found\n");
    allocateSetpoints(countSetpointLines());
    setpointCount = 0;
    readDataFile();
    const double readSeconds = secondsSince(start);
    std::fclose(dataFile);
    dataFile = nullptr;
    platform::setConsole(nullptr);

    std::printf("data file: %d setpoint lines, %ld bytes\n", kSetpoints, bytes);
    std::printf("write: %.3f s (target < 0.3 s)\n", writeSeconds);
    std::printf("read (model lookup, pre-count, reading pass): %.3f s (target < 0.3 s)\n", readSeconds);
    if (setpointCount != kSetpoints) {
        std::printf("read back %d setpoints instead of %d\n", setpointCount, kSetpoints);
        return 1;
    }
    return 0;
}
