// Transactions over a real pseudo-terminal, with a peer thread on the other
// side that checks each request byte for byte and answers as scripted.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/modbus.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "link_fixture.h"

namespace {

using testing_support::PtyPair;
using Clock = std::chrono::steady_clock;

struct Piece {
    int delayMs;  // silence before this piece
    std::string text;
};

struct Exchange {
    std::string request;  // expected, byte for byte
    std::vector<Piece> reply;
};

class PtyPeer : public ::testing::Test {
protected:
    PtyPair pty;
    link_test::ScriptedConsole console;
    std::thread peer;
    std::vector<std::string> received;

    void SetUp() override {
        platform::setConsole(&console);
        commSettings = CommunicationSettings{};
        serialPort.setDeviceFactory(nullptr);
        // The 7N2 MODBUS default opens on a pseudo-terminal too.
        ASSERT_EQ(serialPort.openPath(pty.slaveName, 6, 9600), 0) << console.output;
    }
    void TearDown() override {
        if (peer.joinable()) peer.join();
        serialPort.close();
        platform::setConsole(nullptr);
    }
    // Serves the exchanges in order on the master side.
    void serve(std::vector<Exchange> exchanges) {
        peer = std::thread([this, exchanges = std::move(exchanges)] {
            for (const Exchange& e : exchanges) {
                const char end = e.request.back();
                received.push_back(testing_support::readUntil(pty.master, std::string(1, end), 5000));
                for (const Piece& p : e.reply) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(p.delayMs));
                    testing_support::writeAll(pty.master, p.text);
                }
            }
        });
    }
    void finish(const std::vector<Exchange>& exchanges) {
        peer.join();
        ASSERT_EQ(received.size(), exchanges.size());
        for (std::size_t i = 0; i < exchanges.size(); ++i) EXPECT_EQ(received[i], exchanges[i].request);
    }
};

TEST_F(PtyPeer, ModbusExamplesByteForByte) {
    const std::vector<Exchange> exchanges = {
        {":010300000001FB\r\n", {{0, ":0103020007F3\r\n"}}},
        {":0105013BFF00BF\r\n", {{0, ":0105013BFF00BF\r\n"}}},
        {":01100111000204000AFFFFCF\r\n", {{0, ":011001110002db\r\n"}}},
        {":010300000001FB\r\n", {{0, ":0183027A\r\n"}}},
    };
    serve(exchanges);
    int values[2] = {0, 0};
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, 0);
    EXPECT_EQ(values[0], 7);
    values[0] = 1;
    EXPECT_EQ(modbusTransaction(5, 316, 1, values).code, 0);
    values[0] = 10;
    values[1] = 65535;
    EXPECT_EQ(modbusTransaction(16, 274, 2, values).code, 0);
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, 2);
    EXPECT_EQ(values[0], 10);
    finish(exchanges);
}

TEST_F(PtyPeer, TvxExamplesByteForByte) {
    const std::vector<Exchange> exchanges = {
        {"!01003F\r", {{0, "A"}, {20, "0FA3"}, {0, "16\r"}}},  // model 4003, in pieces
        {"!0122GF4\r", {{0, "A012c0a\r"}}},
        {"!0118P0383\r", {{0, "A\r"}}},
        {"!011BG0580\r", {{0, "N039D\r"}}},
    };
    serve(exchanges);
    int values[2] = {-1, -1};
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values).code, COM_OK);
    EXPECT_EQ(values[0], 0x0FA3);
    EXPECT_EQ(tvxTransaction(COM_SPT_COUNT, "G", "W", values).code, COM_OK);
    EXPECT_EQ(values[0], 0x012C);
    values[0] = 3;
    EXPECT_EQ(tvxTransaction(COM_DEFAULT_PGM, "PB", "", values).code, COM_OK);
    values[0] = 5;
    values[1] = -9;
    EXPECT_EQ(tvxTransaction(COM_SPEED_COMP_VAL, "GB", "WW", values).code, COM_BAD_COMMAND);
    EXPECT_EQ(values[0], 5);
    EXPECT_EQ(values[1], -9);
    finish(exchanges);
}

// A reply that came after its transaction gave up (or one left from an
// earlier run) is never taken for the answer to the next request.
TEST_F(PtyPeer, StaleRepliesAreNotTakenForTheNextOne) {
    auto leaveOnTheLine = [this](const std::string& text) {
        testing_support::writeAll(pty.master, text);
        ASSERT_TRUE(testing_support::waitReadable(pty.slave, 2000));
    };
    // Left by an earlier run: gone once the line is opened again.
    serialPort.close();
    leaveOnTheLine(":0103020009F1\r\n");
    ASSERT_EQ(serialPort.openPath(pty.slaveName, 6, 9600), 0);
    uint8_t byte = 0;
    EXPECT_EQ(serialPort.readByte(byte), 0);

    const std::vector<Exchange> exchanges = {
        {":010300000001FB\r\n", {{0, ":0103020007F3\r\n"}}},
        {"!01003F\r", {{0, "A0FA316\r"}}},
    };
    leaveOnTheLine(":0103020009F1\r\n");
    serve({exchanges[0]});
    int value = -5;
    EXPECT_EQ(modbusTransaction(3, 1, 1, &value).code, 0);
    EXPECT_EQ(value, 7);
    peer.join();

    leaveOnTheLine("A0FA4");  // half a late reply, then the next request
    serve({exchanges[1]});
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", &value).code, COM_OK);
    EXPECT_EQ(value, 0x0FA3);
    peer.join();
}

// The silence limit applies per character: gaps of 2.9 s pass.
TEST_F(PtyPeer, SlowModbusReplyWithinTheSilenceLimitPasses) {
    const std::vector<Exchange> exchanges = {
        {":010300000001FB\r\n", {{2900, ":0103"}, {2900, "0200"}, {0, "07F3\r\n"}}},
    };
    serve(exchanges);
    int value = -5;
    EXPECT_EQ(modbusTransaction(3, 1, 1, &value).code, 0);
    EXPECT_EQ(value, 7);
    finish(exchanges);
}

// A reply that stops half way: no answer after 3000 ms of silence.
TEST_F(PtyPeer, SilenceOverTheLimitTimesOut) {
    const std::vector<Exchange> exchanges = {
        {"!01003F\r", {{0, "A0F"}}},
        {":010300000001FB\r\n", {{0, ":0103"}}},
    };
    serve(exchanges);
    int values[2] = {-5, -5};
    auto start = Clock::now();
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values).code, COM_TIMEOUT);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 4500);
    EXPECT_EQ(values[0], -5);

    // Timed on its own: as on a line just opened, nothing is owed.
    serialPort.settle();
    start = Clock::now();
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, -1);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 4500);
    EXPECT_EQ(values[0], -5);
    finish(exchanges);
}

}  // namespace
