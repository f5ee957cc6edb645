// Interoperability: modbusTransaction against the MODBUS ASCII server of
// Debian's python3-pymodbus, written by people outside this project. The
// server and this program each open the slave of their own pseudo-terminal;
// a relay thread joins the two masters like a null-modem cable.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "link/modbus.h"
#include "link_fixture.h"

namespace {

using testing_support::PtyPair;

constexpr const char* kPython = "/usr/bin/python3";

bool pymodbusAvailable() {
    if (access(kPython, X_OK) != 0) return false;
    std::string output;
    return testing_support::runProgram({kPython, "-c", "import pymodbus.server, serial_asyncio"}, output, 30000) == 0;
}

class NullModem {
public:
    NullModem(int a, int b) : thread_([this, a, b] { run(a, b); }) {}
    ~NullModem() {
        stop_ = true;
        thread_.join();
    }

private:
    void run(int a, int b) {
        char buffer[512];
        while (!stop_) {
            pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) return;  // one side went away
                testing_support::writeAll(i == 0 ? b : a, std::string(buffer, static_cast<std::size_t>(n)));
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(PymodbusInterop, ReadAndWriteHoldingRegisters) {
    if (!pymodbusAvailable()) {
        GTEST_SKIP() << "python3-pymodbus (with python3-serial-asyncio) is not installed under " << kPython
                     << "; scripts/test.sh installs it with apt-get";
    }
    PtyPair ours;
    PtyPair theirs;
    testing_support::PtyProcess server(
        {kPython, std::string(LINKORA_SOURCE_DIR) + "/tests/link/pymodbus_ascii_server.py", theirs.slaveName});
    const std::string banner = server.readUntil("READY", 20000);
    ASSERT_NE(banner.find("READY"), std::string::npos) << "the server did not start: " << banner;
    theirs.closeSlave();  // the server holds its own descriptor
    NullModem cable(ours.master, theirs.master);

    link_test::ScriptedConsole console;
    platform::setConsole(&console);
    commSettings = CommunicationSettings{};
    serialPort.setDeviceFactory(nullptr);
    ASSERT_EQ(serialPort.openPath(ours.slaveName, 6, 9600), 0) << console.output;

    int values[4] = {0, 0, 0, 0};
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, 0);
    EXPECT_EQ(values[0], 7);
    EXPECT_EQ(modbusTransaction(3, 100, 1, values).code, 0);
    EXPECT_EQ(values[0], 65535);
    EXPECT_EQ(modbusTransaction(3, 274, 2, values).code, 0);
    EXPECT_EQ(values[0], 274 * 7);
    EXPECT_EQ(values[1], 275 * 7);

    values[0] = 10;
    values[1] = -1;
    EXPECT_EQ(modbusTransaction(16, 274, 2, values).code, 0);
    values[0] = 0x4321;
    EXPECT_EQ(modbusTransaction(6, 5, 1, values).code, 0);
    values[0] = values[1] = values[2] = 0;
    EXPECT_EQ(modbusTransaction(3, 273, 3, values).code, 0);
    EXPECT_EQ(values[0], 273 * 7);
    EXPECT_EQ(values[1], 10);
    EXPECT_EQ(values[2], 65535);
    EXPECT_EQ(modbusTransaction(3, 5, 1, values).code, 0);
    EXPECT_EQ(values[0], 0x4321);

    // A register outside the server's map: the exception "illegal address".
    values[0] = -3;
    EXPECT_EQ(modbusTransaction(3, 1000, 1, values).code, 2);
    EXPECT_EQ(values[0], -3);

    serialPort.close();
    platform::setConsole(nullptr);
    EXPECT_EQ(console.output, "");
}

}  // namespace
