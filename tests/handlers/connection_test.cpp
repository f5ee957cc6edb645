// Connecting: the probes, their messages, the line and the handler left
// behind. Controllers here refuse quickly; silent ones are in the end-to-end
// tests.
#include <gtest/gtest.h>

#include "common/settings.h"
#include "handlers/fake_controller.h"
#include "handlers/function_handlers.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "platform/line_device.h"
#include "transfer/connection.h"

using namespace handlers_test;

namespace {

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        commSettings = CommunicationSettings{};
        commSettings.devicePath = "/dev/scripted-line";
    }
    void TearDown() override { commSettings = CommunicationSettings{}; }

    void modbusAnswers(bool answers) {
        fake.modbus = [answers](const ModbusRequest&) {
            ModbusReply reply;
            if (!answers) reply.exception = 1;
            return reply;
        };
    }
    void tvxAnswers(int afterRefusals) {
        fake.tvx = [this, afterRefusals](const TvxRequest&) {
            return static_cast<int>(fake.tvxLog.size()) > afterRefusals ? tvxOk("W", {4344}) : tvxRefuse(3);
        };
    }

    CaptureConsole console;
    FakeController fake;
};

TEST_F(Connection, ModbusSelectedAndAnswering) {
    commSettings.protocol = kModbus;
    modbusAnswers(true);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(console.output, "\nSending request to controller...\nController responding...\n");
    EXPECT_EQ(serialPort.portActive, 1);
    EXPECT_EQ(commSettings.functionHandler, &modbusFunctionHandler);
    EXPECT_EQ(commSettings.protocol, kModbus);
    EXPECT_EQ(fake.state->openedPath, "/dev/scripted-line");
    EXPECT_EQ(fake.state->applied.dataBits, 7);
    EXPECT_EQ(fake.state->applied.stopBits, 2);
    EXPECT_EQ(fake.state->sent, ":010300000001FB\r\n");
}

TEST_F(Connection, ModbusSelectedProbesOnceAndWaitsForAKey) {
    commSettings.protocol = kModbus;
    commSettings.functionHandler = modbusFunctionHandler;
    modbusAnswers(false);
    EXPECT_EQ(connectToController(), 1);
    EXPECT_EQ(fake.modbusLog.size(), 1u);
    EXPECT_EQ(console.output,
              "\nSending request to controller...\nNo response: Nothing connected...\nHit any key to continue...\n");
    EXPECT_EQ(console.keysRead, 1);
    EXPECT_EQ(serialPort.portActive, 0);
    EXPECT_EQ(fake.state->closes, 1);
    EXPECT_EQ(commSettings.functionHandler, &noopFunctionHandler);
    EXPECT_EQ(commSettings.protocol, kModbus);
    EXPECT_EQ(commSettings.modbusStartChar, ':');
}

TEST_F(Connection, TvxSelectedRetriesOnce) {
    commSettings.protocol = kTvxStandard;
    tvxAnswers(1);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(fake.tvxLog.size(), 2u);
    EXPECT_EQ(fake.state->sent, "!01003F\r!01003F\r");
    EXPECT_EQ(fake.state->applied.dataBits, 8);
    EXPECT_EQ(fake.state->applied.stopBits, 1);
    EXPECT_EQ(commSettings.functionHandler, &tvxFunctionHandler);

    serialPort.close();
    console.output.clear();
    fake.tvxLog.clear();
    tvxAnswers(5);
    EXPECT_EQ(connectToController(), 1);
    EXPECT_EQ(fake.tvxLog.size(), 2u);
    EXPECT_EQ(console.output,
              "\nSending request to controller...\nNo response: Nothing connected...\nHit any key to continue...\n");
    EXPECT_EQ(commSettings.functionHandler, &noopFunctionHandler);
    EXPECT_EQ(serialPort.portActive, 0);
}

TEST_F(Connection, AutoDetectFindsModbus) {
    modbusAnswers(true);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(console.output, "Auto Detect: trying MODBUS...\nSuccess: MODBUS selected.\n");
    EXPECT_EQ(commSettings.protocol, kModbus);
    EXPECT_EQ(commSettings.functionHandler, &modbusFunctionHandler);
    EXPECT_EQ(fake.state->opens, 1);
    EXPECT_EQ(fake.state->applied.dataBits, 7);
}

TEST_F(Connection, AutoDetectFallsBackToTvx) {
    modbusAnswers(false);
    tvxAnswers(1);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(console.output,
              "Auto Detect: trying MODBUS...\nNo response: MODBUS.\nNo response: trying TVX Standard...\n"
              "Success: TVX Standard selected.\n");
    EXPECT_EQ(fake.modbusLog.size(), 2u);
    EXPECT_EQ(fake.tvxLog.size(), 2u);
    EXPECT_EQ(fake.state->opens, 2);
    EXPECT_EQ(fake.state->closes, 1);
    EXPECT_EQ(fake.state->applied.dataBits, 8);
    EXPECT_EQ(commSettings.protocol, kTvxStandard);
    EXPECT_EQ(commSettings.functionHandler, &tvxFunctionHandler);
    EXPECT_EQ(serialPort.portActive, 1);
}

TEST_F(Connection, AutoDetectWithNothingAnswering) {
    commSettings.functionHandler = tvxFunctionHandler;
    modbusAnswers(false);
    tvxAnswers(5);
    EXPECT_EQ(connectToController(), 1);
    EXPECT_EQ(fake.modbusLog.size() + fake.tvxLog.size(), 4u);
    EXPECT_EQ(console.output,
              "Auto Detect: trying MODBUS...\nNo response: MODBUS.\nNo response: trying TVX Standard...\n"
              "No response: TVX Standard.\n");
    EXPECT_EQ(console.keysRead, 0);
    EXPECT_EQ(commSettings.protocol, kAutoDetect);
    EXPECT_EQ(commSettings.functionHandler, &noopFunctionHandler);
    EXPECT_EQ(serialPort.portActive, 0);
}

TEST_F(Connection, SecondConnectWhileOpenSendsNothing) {
    commSettings.protocol = kTvxStandard;
    tvxAnswers(0);
    ASSERT_EQ(connectToController(), 0);
    const std::string sent = fake.state->sent;
    console.output.clear();
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(console.output, "Error:  Communications port already active.  Cannot continue.");
    EXPECT_EQ(fake.state->sent, sent);
    EXPECT_EQ(fake.state->opens, 1);
    EXPECT_EQ(serialPort.portActive, 1);
}

TEST_F(Connection, ChosenFormatPortAndOpenFailure) {
    // A format the user chose is used as it is, for either protocol.
    commSettings.protocol = kModbus;
    commSettings.characterFormat = kFormat8N1;
    modbusAnswers(true);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(fake.state->applied.dataBits, 8);
    serialPort.close();

    // Without a device path the COM port index names the device.
    commSettings.devicePath.clear();
    commSettings.comPort = 2;
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(fake.state->openedPath, platform::portDeviceName(2));
    serialPort.close();

    fake.state->failOpen = true;
    const std::size_t requests = fake.modbusLog.size();
    commSettings.protocol = kAutoDetect;
    EXPECT_EQ(connectToController(), 1);
    EXPECT_EQ(fake.modbusLog.size(), requests);
    EXPECT_EQ(serialPort.portActive, 0);
}

// A line that cannot be opened changes nothing but the port's own messages:
// no probe, the handler and the protocol stay as they were.
TEST_F(Connection, OpenFailureLeavesHandlerAndProtocol) {
    fake.state->failOpen = true;
    for (uint8_t protocol : {kModbus, kTvxStandard, kAutoDetect}) {
        SCOPED_TRACE(static_cast<int>(protocol));
        commSettings.protocol = protocol;
        commSettings.functionHandler = tvxFunctionHandler;
        console.output.clear();
        EXPECT_EQ(connectToController(), 1);
        EXPECT_EQ(console.output.find("Sending request"), std::string::npos);
        EXPECT_EQ(console.output.find("Auto Detect"), std::string::npos);
        EXPECT_EQ(commSettings.protocol, protocol);
        EXPECT_EQ(commSettings.functionHandler, &tvxFunctionHandler);
        EXPECT_EQ(serialPort.portActive, 0);
    }
    EXPECT_TRUE(fake.modbusLog.empty());
    EXPECT_TRUE(fake.tvxLog.empty());
    EXPECT_EQ(fake.state->sent, "");
}

// Auto Detect: MODBUS gave up and closed the line, and it cannot be opened
// again for TVX Standard.
TEST_F(Connection, AutoDetectReopenFailureEndsWithoutTvxProbes) {
    fake.modbus = [this](const ModbusRequest&) {
        if (fake.modbusLog.size() == 2) fake.state->failOpen = true;
        ModbusReply reply;
        reply.exception = 1;
        return reply;
    };
    tvxAnswers(0);
    EXPECT_EQ(connectToController(), 1);
    EXPECT_EQ(console.output,
              "Auto Detect: trying MODBUS...\nNo response: MODBUS.\nNo response: trying TVX Standard...\n"
              "Error opening com port.  349");
    EXPECT_EQ(fake.modbusLog.size(), 2u);
    EXPECT_TRUE(fake.tvxLog.empty());
    EXPECT_EQ(commSettings.protocol, kAutoDetect);
    EXPECT_EQ(commSettings.functionHandler, &noopFunctionHandler);
    EXPECT_EQ(serialPort.portActive, 0);
}

// The selected-MODBUS path starts its frames with ':' whatever the start
// character held before.
TEST_F(Connection, ModbusSelectedResetsTheStartCharacter) {
    commSettings.protocol = kModbus;
    commSettings.modbusStartChar = ';';
    modbusAnswers(true);
    EXPECT_EQ(connectToController(), 0);
    EXPECT_EQ(fake.state->sent, ":010300000001FB\r\n");
    EXPECT_EQ(commSettings.modbusStartChar, ':');
}

}  // namespace
