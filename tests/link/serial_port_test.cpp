#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "common/console_io.h"
#include "link/serial_port.h"
#include "link_fixture.h"

using link_test::ScriptedConsole;
using link_test::State;
using testing_support::ScriptedLineDevice;

namespace {

// A scripted device that can refuse individual steps.
struct Refusals {
    bool readSettings = false;
    bool notification = false;
    bool write = false;
    bool close = false;
};

class RefusingDevice : public ScriptedLineDevice {
public:
    RefusingDevice(std::shared_ptr<State> s, Refusals r) : ScriptedLineDevice(std::move(s)), refuse_(r) {}
    bool readSettings() override { return !refuse_.readSettings; }
    bool setReceiveNotification() override { return !refuse_.notification; }
    bool write(const uint8_t* data, std::size_t length) override {
        return refuse_.write ? false : ScriptedLineDevice::write(data, length);
    }
    bool close() override {
        ScriptedLineDevice::close();
        return !refuse_.close;
    }

private:
    Refusals refuse_;
};

class SerialPortTest : public ::testing::Test {
protected:
    ScriptedConsole console;
    std::shared_ptr<State> line = std::make_shared<State>();
    Refusals refusals;
    int factoryCalls = 0;

    void SetUp() override {
        platform::setConsole(&console);
        setLineConsole({nullptr, nullptr, conPuts});
        serialPort.setDeviceFactory([this] {
            ++factoryCalls;
            return std::make_unique<RefusingDevice>(line, refusals);
        });
    }
    void TearDown() override {
        serialPort.close();
        serialPort.setDeviceFactory(nullptr);
        setLineObserver(nullptr);
        setLineConsole({});
        platform::setConsole(nullptr);
    }
};

TEST_F(SerialPortTest, PortIndexOutsideComOneToFourOpensNothing) {
    for (int index : {4, -1, 255}) {
        console.output.clear();
        EXPECT_EQ(serialPort.open(index, 3, 9600), -1);
        EXPECT_EQ(console.output, "Bad COM Port Argument!");
    }
    EXPECT_EQ(factoryCalls, 0);
    EXPECT_EQ(serialPort.portActive, 0);
}

TEST_F(SerialPortTest, PortIndexMapsToConfiguredDevice) {
    setenv("LINKORA_COM2", "/dev/linkora-test-com2", 1);
    EXPECT_EQ(serialPort.open(1, 3, 19200), 0);
    unsetenv("LINKORA_COM2");
    EXPECT_EQ(line->openedPath, "/dev/linkora-test-com2");
    EXPECT_EQ(serialPort.portActive, 1);
    EXPECT_EQ(line->applied.baudRate, 19200);
    EXPECT_EQ(console.output, "");
}

TEST_F(SerialPortTest, RefusedDeviceLeavesLineClosed) {
    line->failOpen = true;
    EXPECT_EQ(serialPort.openPath("/dev/missing", 6, 9600), -1);
    EXPECT_EQ(console.output, "Error opening com port.  349");
    EXPECT_EQ(serialPort.portActive, 0);
    EXPECT_EQ(serialPort.device(), nullptr);
}

TEST_F(SerialPortTest, MissingRealDeviceIsRefused) {
    serialPort.setDeviceFactory(nullptr);
    EXPECT_EQ(serialPort.openPath("/dev/linkora-no-such-device", 6, 9600), -1);
    EXPECT_EQ(console.output, "Error opening com port.  349");
    EXPECT_EQ(serialPort.portActive, 0);
}

TEST_F(SerialPortTest, CharacterFormatsGiveTheirLineSettings) {
    struct Row {
        int code, dataBits;
        platform::Parity parity;
        int stopBits;
    };
    const std::vector<Row> rows = {
        {1, 7, platform::Parity::None, 2}, {6, 7, platform::Parity::None, 2},  {2, 8, platform::Parity::None, 1},
        {3, 8, platform::Parity::None, 1}, {16, 7, platform::Parity::None, 1}, {19, 7, platform::Parity::Even, 2},
        {20, 7, platform::Parity::Odd, 1}, {23, 8, platform::Parity::None, 2}, {24, 8, platform::Parity::Even, 1},
        {27, 8, platform::Parity::Odd, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        ASSERT_EQ(serialPort.openPath("/dev/scripted", row.code, 38400), 0);
        EXPECT_EQ(line->applied.baudRate, 38400);
        EXPECT_EQ(line->applied.dataBits, row.dataBits);
        EXPECT_EQ(line->applied.parity, row.parity);
        EXPECT_EQ(line->applied.stopBits, row.stopBits);
        serialPort.close();
    }
    EXPECT_EQ(line->opens, line->closes);
    EXPECT_EQ(console.output, "");
}

TEST_F(SerialPortTest, FormatNamesMapToTheirCodes) {
    for (int i = 0; i < 12; ++i) EXPECT_EQ(characterFormatFromName(kCharacterFormatNames[i]), 16 + i);
    EXPECT_EQ(characterFormatFromName("8o2"), 27);
    EXPECT_EQ(characterFormatFromName("9N1"), std::nullopt);
    EXPECT_EQ(characterFormatFromName("7N"), std::nullopt);
    EXPECT_EQ(characterFormatFromName("7N1 "), std::nullopt);
    for (int bad : {0, 4, 5, 7, 15, 28, 255}) EXPECT_EQ(lineSettingsForFormat(bad, 9600), std::nullopt) << bad;
}

TEST_F(SerialPortTest, WrongFormatClosesSoTheNextOpenSucceeds) {
    EXPECT_EQ(serialPort.openPath("/dev/scripted", 4, 9600), -1);
    EXPECT_EQ(console.output, "Wrong format type for Comport Initialization...");
    EXPECT_EQ(serialPort.portActive, 0);
    EXPECT_EQ(line->opens, 1);
    EXPECT_EQ(line->closes, 1);
    EXPECT_EQ(serialPort.openPath("/dev/scripted", 6, 9600), 0);
    EXPECT_EQ(serialPort.portActive, 1);
}

TEST_F(SerialPortTest, EachRefusedSetupStepPrintsItsMessageAndCloses) {
    struct Case {
        Refusals refusals;
        bool failApply;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{true, false, false, false}, false, "GetCommState(activeport,&serialconfig) Error.\r\n"},
        {{}, true, "SetCommState(activeport,&serialconfig) Error.\r\n"},
        {{false, true, false, false}, false, "Error at SetCommMask"},
    };
    for (const Case& c : cases) {
        refusals = c.refusals;
        line->failApply = c.failApply;
        console.output.clear();
        const int closesBefore = line->closes;
        EXPECT_EQ(serialPort.openPath("/dev/scripted", 3, 9600), -1);
        EXPECT_EQ(console.output, c.message);
        EXPECT_EQ(line->closes, closesBefore + 1);
        EXPECT_EQ(serialPort.portActive, 0);
        EXPECT_EQ(serialPort.device(), nullptr);
    }
}

TEST_F(SerialPortTest, CloseAlwaysClearsPortActive) {
    refusals.close = true;
    ASSERT_EQ(serialPort.openPath("/dev/scripted", 3, 9600), 0);
    serialPort.close();
    EXPECT_EQ(console.output, "Error closing serial port.\r\n");
    EXPECT_EQ(serialPort.portActive, 0);
    EXPECT_EQ(serialPort.device(), nullptr);
    console.output.clear();
    serialPort.close();  // closing a closed line is harmless
    EXPECT_EQ(console.output, "");
}

TEST_F(SerialPortTest, WriteErrorIsReportedAndWaitsForOneKey) {
    refusals.write = true;
    ASSERT_EQ(serialPort.openPath("/dev/scripted", 3, 9600), 0);
    console.keys = {'x', 'y'};
    // The link itself neither says it nor reads a key: the transfer's
    // console does.
    EXPECT_EQ(serialPort.write("abc", 3), 1);
    EXPECT_EQ(console.output, "");
    EXPECT_EQ(console.keys.size(), 2u);
    setLineConsole({dropKeyPressed, confirmLineWriteError, conPuts});
    EXPECT_EQ(serialPort.write("abc", 3), 1);
    EXPECT_EQ(console.output, "write error #1 to comm port");
    EXPECT_EQ(console.keys.size(), 1u);
}

namespace observed {
std::string sent, received;
void observer(bool isSent, const uint8_t* data, std::size_t length) {
    (isSent ? sent : received).append(reinterpret_cast<const char*>(data), length);
}
}  // namespace observed

TEST_F(SerialPortTest, WriteAndReadPassBytesAndTheObserverSeesThem) {
    ASSERT_EQ(serialPort.openPath("/dev/scripted", 3, 9600), 0);
    observed::sent.clear();
    observed::received.clear();
    setLineObserver(observed::observer);
    line->incoming = {'O', 'K'};
    EXPECT_EQ(serialPort.write("ping", 4), 0);
    uint8_t byte = 0;
    EXPECT_NE(serialPort.readByte(byte), 0);
    EXPECT_EQ(byte, 'O');
    EXPECT_NE(serialPort.readByte(byte), 0);
    EXPECT_EQ(byte, 'K');
    byte = 7;
    EXPECT_EQ(serialPort.readByte(byte), 0);
    EXPECT_EQ(byte, 7);  // untouched when nothing arrived
    EXPECT_EQ(line->sent, "ping");
    EXPECT_EQ(observed::sent, "ping");
    EXPECT_EQ(observed::received, "OK");
}

}  // namespace
