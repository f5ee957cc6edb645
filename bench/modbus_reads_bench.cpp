// Reads one holding register over and over through modbusTransaction on a
// serial device and prints the rate and the CPU time the reads took:
//   modbus_reads_bench DEVICE BAUD REGISTER COUNT
//   -> "reads=N seconds=S per_second=R failures=F cpu=C"
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "common/settings.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "platform/console.h"

namespace {

class QuietConsole : public platform::Console {
public:
    int getKey() override { return platform::kKeyEnter; }
    bool keyWaiting() override { return false; }
    void write(const char*, std::size_t) override {}
    void clearScreen() override {}
};

// User and system CPU time of this process so far, in seconds.
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s DEVICE BAUD REGISTER COUNT\n", argv[0]);
        return 2;
    }
    QuietConsole quiet;
    platform::setConsole(&quiet);
    const int baud = std::atoi(argv[2]);
    const int registerNumber = std::atoi(argv[3]);
    const int count = std::atoi(argv[4]);
    commSettings.protocol = kModbus;
    commSettings.unitAddress = 1;
    if (serialPort.openPath(argv[1], kFormat8N1, baud) != 0) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    int failures = 0;
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        int values[1] = {0};
        if (modbusTransaction(3, registerNumber, 1, values).code != 0) ++failures;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    serialPort.close();
    std::printf("reads=%d seconds=%.3f per_second=%.1f failures=%d cpu=%.4f\n", count, seconds, count / seconds,
                failures, cpu);
    return failures == 0 ? 0 : 1;
}
