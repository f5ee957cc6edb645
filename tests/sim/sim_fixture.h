#pragma once
// Runs linkora-sim as a child process and talks to it, either through the
// project's own transactions or with raw lines on its pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/settings.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "platform/console.h"
#include "support/modbus_frames.h"
#include "support/sim_process.h"
#include "support/test_support.h"

namespace simtest {

inline int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

using testing_support::SimProcess;

// The line opened directly, for exchanges the transactions cannot show
// (silence, raw text).
class RawLine {
public:
    explicit RawLine(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawLine() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Sends `request` and collects the reply up to `end`, or what came within
    // `timeoutMs`.
    std::string exchange(const std::string& request, const std::string& end, int timeoutMs = 1500) {
        testing_support::writeAll(fd_, request);
        return testing_support::readUntil(fd_, end, timeoutMs);
    }

private:
    int fd_ = -1;
};

inline std::string withChecksum(const std::string& body) {
    int sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return body + digits;
}

// "!" + body + checksum + CR
inline std::string tvxLine(const std::string& body) { return "!" + withChecksum(body) + "\r"; }

// ":" + hex bytes + LRC + CR LF
using testing_support::modbusFrame;

// The data file without its date line, for comparisons.
inline std::string withoutDate(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        if (line.find("Upload Date:") == std::string::npos) out += line + "\n";
    }
    return out;
}

class QuietConsole : public platform::Console {
public:
    int getKey() override { return platform::kKeyEscape; }
    bool keyWaiting() override { return false; }
    void write(const char*, std::size_t) override {}
    void clearScreen() override {}
};

// A test with a simulator and the project's serial port on its line.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef LINKORA_SIM_BIN
        GTEST_SKIP() << "linkora-sim was not built";
#endif
        platform::setConsole(&console_);
        commSettings.unitAddress = 1;
    }
    void TearDown() override {
        serialPort.close();
        sim_.reset();
        platform::setConsole(nullptr);
    }
    // Starts the simulator and opens the serial port on its line.
    void start(const std::vector<std::string>& args, int format = kFormat8N1) {
        sim_ = std::make_unique<SimProcess>(args);
        ASSERT_FALSE(sim_->devicePath.empty()) << "no device path from linkora-sim";
        ASSERT_EQ(serialPort.openPath(sim_->devicePath, format, 9600), 0);
    }
    // Reads `count` registers into `out`.
    int readRegs(int reg, int count, std::vector<int>& out) {
        int v[8] = {};
        const int r = modbusTransaction(3, reg, count, v).code;
        out.assign(v, v + count);
        return r;
    }
    int readReg(int reg, int& value) {
        int v[8] = {};
        const int r = modbusTransaction(3, reg, 1, v).code;
        value = v[0];
        return r;
    }
    int writeReg(int reg, int value) {
        int v[8] = {value};
        return modbusTransaction(16, reg, 1, v).code;
    }
    int writeRegs(int reg, const std::vector<int>& values) {
        int v[8] = {};
        const int count = static_cast<int>(std::min<size_t>(values.size(), 8));
        std::copy(values.begin(), values.begin() + count, v);
        return modbusTransaction(16, reg, count, v).code;
    }
    int tvx(int command, const char* send, const char* receive, int* values) {
        return tvxTransaction(command, send, receive, values).code;
    }

    QuietConsole console_;
    std::unique_ptr<SimProcess> sim_;
};

}  // namespace simtest
