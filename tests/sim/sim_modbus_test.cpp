// linkora-sim under MODBUS, driven by the project's own transactions.
#include "sim_fixture.h"

namespace simtest {
namespace {

using V = std::vector<int>;

class SimModbus : public SimTest {};

TEST_F(SimModbus, SingleRegistersReadAndWrite) {
    start({});
    int value = 0;
    ASSERT_EQ(readReg(300, value), 0);
    EXPECT_EQ(value, 4344);
    ASSERT_EQ(readReg(302, value), 0);
    EXPECT_EQ(value, 16);
    // The default program travels as program + 1.
    ASSERT_EQ(readReg(271, value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(writeReg(271, 5), 0);
    ASSERT_EQ(readReg(271, value), 0);
    EXPECT_EQ(value, 5);
    // Two neighbouring single registers in one read.
    V pair;
    ASSERT_EQ(readRegs(322, 2, pair), 0);
    EXPECT_EQ(pair, (V{20, 1}));
    V rate;
    ASSERT_EQ(readRegs(318, 4, rate), 0);
    EXPECT_EQ(rate, (V{250, 1, 2, 1}));
    // Model, firmware and outputs are the controller's own.
    EXPECT_EQ(writeReg(300, 4444), 2);
    EXPECT_EQ(writeReg(336, 9), 3);  // more groups than a controller has
    ASSERT_EQ(readReg(336, value), 0);
    EXPECT_EQ(value, 3);
}

TEST_F(SimModbus, UnknownRegistersFunctionsAndMapVersion) {
    start({});
    int value = 0;
    EXPECT_EQ(readReg(263, value), 2);
    EXPECT_EQ(readReg(9999, value), 2);  // no map version unless asked for
    EXPECT_EQ(readReg(319, value), 2);   // the middle of the rate block
    int v[8] = {1};
    EXPECT_EQ(modbusTransaction(6, 300, 1, v).code, 1);
    EXPECT_EQ(modbusTransaction(1, 1, 1, v).code, 1);
    EXPECT_EQ(modbusTransaction(5, 999, 1, v).code, 2);  // no such coil
    EXPECT_EQ(modbusTransaction(5, 316, 1, v).code, 0);
}

TEST_F(SimModbus, MapVersionWhenGiven) {
    start({"--map-version", "101"});
    int value = 0;
    ASSERT_EQ(readReg(9999, value), 0);
    EXPECT_EQ(value, 101);
}

TEST_F(SimModbus, IndexRegistersAdvanceAfterEachElement) {
    start({});
    V two;
    ASSERT_EQ(writeReg(273, 1), 0);
    ASSERT_EQ(readRegs(274, 2, two), 0);
    EXPECT_EQ(two, (V{12, 8}));
    ASSERT_EQ(writeReg(273, 5), 0);
    ASSERT_EQ(readRegs(274, 2, two), 0);
    EXPECT_EQ(two, (V{65531, 3}));  // -5 as a 16-bit word
    // Writes advance too.
    ASSERT_EQ(writeReg(277, 2), 0);
    ASSERT_EQ(writeReg(278, 70), 0);
    ASSERT_EQ(writeReg(278, 80), 0);
    ASSERT_EQ(writeReg(277, 2), 0);
    int value = 0;
    ASSERT_EQ(readReg(278, value), 0);
    EXPECT_EQ(value, 70);
    ASSERT_EQ(readReg(278, value), 0);
    EXPECT_EQ(value, 80);
    ASSERT_EQ(readReg(278, value), 0);
    EXPECT_EQ(value, 150);  // channel 4's own
    // Past the last output, and an index beyond it.
    EXPECT_EQ(writeReg(277, 17), 3);
    ASSERT_EQ(writeReg(277, 16), 0);
    ASSERT_EQ(readReg(278, value), 0);
    EXPECT_EQ(readReg(278, value), 3);
    // Group channel count and mode, two registers per element.
    ASSERT_EQ(writeReg(337, 1), 0);
    for (V expected : {V{6, 0}, V{5, 1}, V{5, 2}}) {
        ASSERT_EQ(readRegs(338, 2, two), 0);
        EXPECT_EQ(two, expected);
    }
}

TEST_F(SimModbus, OptionListAndPackedOperatorEnables) {
    start({});
    ASSERT_EQ(writeReg(303, 1), 0);
    V options;
    for (int i = 0; i < 23; ++i) {
        int value = -1;
        ASSERT_EQ(readReg(304, value), 0) << i;
        options.push_back(value);
    }
    for (int i = 0; i < 23; ++i) EXPECT_EQ(options[static_cast<size_t>(i)], i == 5 || i == 6 ? 1 : 0) << i;
    EXPECT_EQ(writeReg(304, 1), 2);  // options are read only
    int packed = 0;
    ASSERT_EQ(readReg(331, packed), 0);
    EXPECT_EQ(packed, 0x55);
    ASSERT_EQ(writeReg(331, 0x10), 0);
    ASSERT_EQ(readReg(331, packed), 0);
    EXPECT_EQ(packed, 0x10);
}

TEST_F(SimModbus, AnalogPairsFollowTheQuantityWithoutAnIndexWrite) {
    start({});
    V pair;
    ASSERT_EQ(writeReg(287, 2), 0);  // leave the cursor elsewhere
    int quantity = 0;
    ASSERT_EQ(readReg(310, quantity), 0);
    EXPECT_EQ(quantity, 1);
    ASSERT_EQ(readRegs(288, 2, pair), 0);
    EXPECT_EQ(pair, (V{100, 2000}));
    // Reading again continues with the next output.
    ASSERT_EQ(readRegs(288, 2, pair), 0);
    EXPECT_EQ(pair, (V{0, 0}));
    EXPECT_EQ(readRegs(288, 2, pair), 3);
}

TEST_F(SimModbus, SetpointLoadingAndReading) {
    start({});
    int count = 0;
    ASSERT_EQ(readReg(262, count), 0);
    EXPECT_EQ(count, 6);
    ASSERT_EQ(writeReg(262, 0), 0);
    int on[8] = {1};
    ASSERT_EQ(modbusTransaction(5, 302, 1, on).code, 0);
    ASSERT_EQ(writeRegs(264, {1, 3}), 0);  // program 0, channel 2
    ASSERT_EQ(writeRegs(269, {10, 20}), 0);
    ASSERT_EQ(writeRegs(264, {4, 16}), 0);  // program 3, channel 15
    ASSERT_EQ(writeRegs(269, {300, 5}), 0);
    EXPECT_EQ(writeRegs(269, {1, 2}), 3);   // nothing staged
    EXPECT_EQ(writeRegs(264, {1, 17}), 3);  // no such channel
    ASSERT_EQ(readReg(262, count), 0);
    EXPECT_EQ(count, 2);

    ASSERT_EQ(writeReg(264, 1), 0);
    V record;
    ASSERT_EQ(readRegs(264, 5, record), 0);
    EXPECT_EQ(record, (V{1, 3, 0, 10, 20}));
    ASSERT_EQ(readRegs(264, 5, record), 0);
    EXPECT_EQ(record, (V{4, 16, 0, 300, 5}));
    EXPECT_EQ(readRegs(264, 5, record), 3);
}

TEST_F(SimModbus, DummyFirstSetpointRead) {
    start({"--dummy-first-read"});
    ASSERT_EQ(writeReg(264, 1), 0);
    V record;
    ASSERT_EQ(readRegs(264, 5, record), 0);
    EXPECT_EQ(record[3], 0);
    EXPECT_EQ(record[4], 0);
    ASSERT_EQ(readRegs(264, 5, record), 0);
    EXPECT_EQ(record, (V{1, 1, 0, 10, 90}));
    ASSERT_EQ(readRegs(264, 5, record), 0);
    EXPECT_EQ(record, (V{1, 2, 0, 100, 200}));
}

TEST_F(SimModbus, MappingSlots) {
    start({});
    V fields;
    // The built-in controller holds three mappings in slots 1..3.
    ASSERT_EQ(writeReg(299, 2), 0);
    ASSERT_EQ(readRegs(1, 5, fields), 0);
    EXPECT_EQ(fields, (V{2, 1002, 1, 2, 3}));

    ASSERT_EQ(writeReg(297, 0), 0);
    ASSERT_EQ(writeRegs(1, {5, 2000, 1, 0, 0}), 0);
    ASSERT_EQ(writeReg(298, 1), 0);
    ASSERT_EQ(writeRegs(1, {7, 2001, 0, 0, 0}), 0);
    ASSERT_EQ(writeReg(298, 3), 0);
    ASSERT_EQ(writeRegs(1, {9, 1, 1, 1, 1}), 0);
    EXPECT_EQ(writeReg(298, 2), 3);  // no such mapping type
    EXPECT_EQ(writeReg(298, 257), 3);

    const V expected[] = {{5, 2000, 1, 0, 0}, {0, 0, 0, 0, 0}, {7, 2001, 0, 0, 0}};
    for (int slot = 1; slot <= 3; ++slot) {
        ASSERT_EQ(writeReg(299, slot), 0);
        ASSERT_EQ(readRegs(1, 5, fields), 0);
        EXPECT_EQ(fields, expected[slot - 1]) << "slot " << slot;
    }
}

TEST_F(SimModbus, ChecksumSavesAndRestartSilences) {
    testing_support::TempDir dir;
    const std::string saved = dir.file("state.dat");
    start({"--save", saved, "--reset-delay", "1"});
    ASSERT_EQ(writeReg(340, 1), 0);
    ASSERT_EQ(writeReg(305, 3), 0);
    int checksum = 0;
    ASSERT_EQ(readReg(341, checksum), 0);
    // The state is on disk by the time the checksum reply is in.
    const std::string text = testing_support::readFile(saved);
    EXPECT_NE(text.find("16: 3 "), std::string::npos);
    EXPECT_NE(text.find("2: 4344 "), std::string::npos);

    ASSERT_EQ(writeReg(340, 0), 0);
    const int64_t restarted = nowMs();
    RawLine raw(sim_->devicePath);
    const std::string model = modbusFrame({1, 3, 0x01, 0x2B, 0, 1});
    EXPECT_EQ(raw.exchange(model, "\n", 300), "");
    if (nowMs() - restarted < 900) {
        const int64_t wait = restarted + 1200 - nowMs();
        if (wait > 0) poll(nullptr, 0, static_cast<int>(wait));
        EXPECT_EQ(raw.exchange(model, "\n"), ":01030210F8F2\r\n");
    }
    serialPort.close();
    EXPECT_EQ(sim_->stop(), 0);  // saves once more, while the folder exists
}

TEST_F(SimModbus, OtherUnitsAndProtocolsGetNoAnswer) {
    start({"--unit", "5", "--protocol", "modbus"});
    RawLine raw(sim_->devicePath);
    EXPECT_EQ(raw.exchange(modbusFrame({1, 3, 0x01, 0x2B, 0, 1}), "\n", 300), "");
    EXPECT_EQ(raw.exchange(tvxLine("0500"), "\r", 300), "");
    commSettings.unitAddress = 5;
    int value = 0;
    ASSERT_EQ(readReg(300, value), 0);
    EXPECT_EQ(value, 4344);
}

TEST_F(SimModbus, RawFrameAndBadLrc) {
    start({});
    RawLine raw(sim_->devicePath);
    // The connection probe: register 1, the (empty) mapping window.
    EXPECT_EQ(raw.exchange(":010300000001FB\r\n", "\n", 300), ":0103020000FA\r\n");
    EXPECT_EQ(raw.exchange(":0103012B0001CE\r\n", "\n", 300), "");  // LRC off by one
    EXPECT_EQ(raw.exchange(":0103012B0001CF\r\n", "\n"), ":01030210F8F2\r\n");
}

}  // namespace
}  // namespace simtest
