// The network line device through the real ser2net to a pseudo-terminal:
// the line settings reach the device, and every byte value travels both
// ways, 255 included.
#include <gtest/gtest.h>
#include <termios.h>

#include "platform/line_device.h"
#include "support/ser2net_server.h"

using testing_support::PtyPair;
using testing_support::Ser2net;
using testing_support::TempDir;

TEST(NetworkLineDevice, SettingsAndEveryByteThroughSer2net) {
    if (!testing_support::haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    PtyPair pty;
    Ser2net server(dir, pty.slaveName);
    ASSERT_TRUE(server.ready);

    for (const std::string& port : {server.rfc2217(), server.tcp()}) {
        SCOPED_TRACE(port);
        const bool telnet = port.rfind("rfc2217", 0) == 0;
        auto device = platform::makeLineDeviceFor(port);
        ASSERT_TRUE(device->open(port)) << device->lastError();
        ASSERT_TRUE(device->readSettings());
        platform::LineSettings settings;
        settings.baudRate = 38400;
        settings.dataBits = 8;
        settings.stopBits = 2;
        ASSERT_TRUE(device->applySettings(settings)) << device->lastError();
        device->discardInput();
        if (telnet) {
            termios t{};
            ASSERT_EQ(tcgetattr(pty.master, &t), 0);
            EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
            EXPECT_NE(t.c_cflag & CSTOPB, 0u);
        }

        std::string all;
        for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
        ASSERT_TRUE(device->write(reinterpret_cast<const uint8_t*>(all.data()), all.size()));
        std::string atDevice;
        for (int i = 0; i < 100 && atDevice.size() < all.size(); ++i) {
            atDevice += testing_support::readQuiet(pty.master, 50, 500);
        }
        EXPECT_EQ(atDevice, all);

        testing_support::writeAll(pty.master, all);
        std::string received;
        uint8_t byte = 0;
        for (int misses = 0; received.size() < all.size() && misses < 20;) {
            if (device->readByte(byte)) {
                received += static_cast<char>(byte);
            } else {
                ++misses;
            }
        }
        EXPECT_EQ(received, all);
        EXPECT_FALSE(device->connectionLost());
        EXPECT_TRUE(device->close());
        // ser2net lets the device go a moment after the connection ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}
