#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>

#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/line_device.h"

// The fuzz clock replaces the platform's monotonic clock in the fuzz builds.
namespace {
int64_t fuzzNow = 1000000;
}

namespace platform {
int64_t monotonicMicros() { return ++fuzzNow; }
void sleepMicros(int64_t micros) {
    if (micros > 0) fuzzNow += micros;
}
}  // namespace platform

namespace fuzzing {
namespace {

class QuietConsole : public platform::Console {
public:
    int getKey() override { return platform::kKeyEnter; }
    bool keyWaiting() override { return false; }
    void write(const char*, std::size_t) override {}
    void clearScreen() override {}
};

std::string replyBytes;
std::string sentBytes;
std::deque<uint8_t> incoming;

class ReplyDevice : public platform::LineDevice {
public:
    bool open(const std::string&) override { return true; }
    bool readSettings() override { return true; }
    bool applySettings(const platform::LineSettings& s) override {
        settings_ = s;
        return true;
    }
    bool write(const uint8_t* data, std::size_t length) override {
        sentBytes.append(reinterpret_cast<const char*>(data), length);
        incoming.assign(replyBytes.begin(), replyBytes.end());
        return true;
    }
    bool readByte(uint8_t& out) override {
        if (incoming.empty()) {
            fuzzNow += 110000;  // one read time-out of the real device
            return false;
        }
        out = incoming.front();
        incoming.pop_front();
        return true;
    }
    bool close() override { return true; }
    platform::LineSettings requestedSettings() const override { return settings_; }

private:
    platform::LineSettings settings_;
};

}  // namespace

void installQuietConsole() {
    static QuietConsole quiet;
    platform::setConsole(&quiet);
}

void installReplyDevice() {
    serialPort.setDeviceFactory([] { return std::make_unique<ReplyDevice>(); });
}

void setReply(const std::string& reply) {
    replyBytes = reply;
    sentBytes.clear();
    incoming.clear();
}

const std::string& sentSinceReply() { return sentBytes; }

void openReplyPort() {
    if (serialPort.device() == nullptr) serialPort.openPath("fuzz", kFormatDefault, 9600);
}

const std::string& scratchPath() {
    static const std::string path = [] {
        // Memory-backed when the system has it: rewriting a file on disk
        // thousands of times a second is limited by the disk, not the code.
        char name[] = "/dev/shm/linkora-fuzz-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) {
            std::snprintf(name, sizeof name, "%s", "/tmp/linkora-fuzz-XXXXXX");
            fd = mkstemp(name);
        }
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { ::unlink(scratchPath().c_str()); });
        return std::string(name);
    }();
    return path;
}

void writeScratch(const uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(scratchPath().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
}

}  // namespace fuzzing

#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "transfer/unit_configuration.h"

namespace fuzzing {

void runTransferPhases(int firstBlock, int blockCount) {
    static std::FILE* sink = std::fopen("/dev/null", "wb");
    if (sink == nullptr) std::abort();
    resetImage();
    releaseSetpoints();
    queryUnitConfiguration(0);
    // A controller may claim up to 65535 setpoints; a few hundred exercise
    // the same code and keep a run short.
    if (setpointCount > 300) setpointCount = 300;
    if (setpointCount < 0) setpointCount = 0;
    if (setpointCount > 0) allocateSetpoints(setpointCount);
    for (int i = 0; i < blockCount; ++i) {
        const int n = 6 + (firstBlock + i) % (kFunctionCount - 6);
        commSettings.functionHandler(0, n);
        commSettings.functionHandler(1, n);
    }
    dataFile = sink;
    lineNumber = 0;
    writeDataFile();
    std::fflush(sink);
    dataFile = nullptr;
    releaseSetpoints();
}

}  // namespace fuzzing
