// The MODBUS handler against a scripted controller: the exact registers, their
// order and the index conversions.
#include <gtest/gtest.h>

#include "common/settings.h"
#include "handlers/fake_controller.h"
#include "handlers/function_handlers.h"
#include "link/exchange_health.h"
#include "image/controller_image.h"

using namespace handlers_test;

namespace {

class ModbusHandler : public ::testing::Test {
protected:
    void SetUp() override {
        resetImage();
        releaseSetpoints();
        firstChannel = 0;
        lastChannel = -1;
        fake.open();
    }
    void TearDown() override { releaseSetpoints(); }

    // "fc:reg:count" for every request, in order.
    std::vector<std::string> trace() const {
        std::vector<std::string> out;
        for (const ModbusRequest& r : fake.modbusLog) {
            std::string line = std::to_string(r.function) + ":" + std::to_string(r.reg) + ":" + std::to_string(r.count);
            for (int v : r.values) line += "=" + std::to_string(v);
            out.push_back(line);
        }
        return out;
    }

    CaptureConsole console;
    FakeController fake;
};

using Trace = std::vector<std::string>;

TEST_F(ModbusHandler, DefaultProgramTravelsOneBased) {
    fake.registers[271] = 3;
    modbusFunctionHandler(0, 6);
    EXPECT_EQ(image.defaultProgram, 2);
    EXPECT_EQ(blockAbsent[6], 0);

    fake.modbusLog.clear();
    image.defaultProgram = 2;
    modbusFunctionHandler(1, 6);
    EXPECT_EQ(trace(), Trace{"16:271:1=3"});
}

TEST_F(ModbusHandler, SingleRegisterReadsAndWrites) {
    fake.registers[307] = 65535;
    modbusFunctionHandler(0, 18);
    EXPECT_EQ(image.scaleFactor[0], 65535);
    EXPECT_EQ(blockAbsent[18], 0);

    // Read-only blocks send nothing when written.
    fake.modbusLog.clear();
    modbusFunctionHandler(1, 2);
    modbusFunctionHandler(1, 3);
    modbusFunctionHandler(1, 4);
    EXPECT_TRUE(fake.modbusLog.empty());

    // A refused read leaves field and flag alone.
    fake.modbus = [](const ModbusRequest&) { return ModbusReply{false, 2, {}}; };
    image.keyboardQuantity = 7;
    modbusFunctionHandler(0, 16);
    EXPECT_EQ(image.keyboardQuantity, 7);
    EXPECT_EQ(blockAbsent[16], 1);
}

TEST_F(ModbusHandler, OperatorEnablesArePackedIntoOneRegister) {
    fake.registers[331] = 0x45;
    modbusFunctionHandler(0, 36);
    EXPECT_EQ(image.operatorEnableSetpoints, 1);
    EXPECT_EQ(image.operatorEnableDefaultProgram, 0);
    EXPECT_EQ(image.operatorEnableSpeedComp, 1);
    EXPECT_EQ(image.operatorEnableTimedOutputs, 0);
    EXPECT_EQ(image.operatorEnableOffsets, 0);
    EXPECT_EQ(image.operatorEnableMotion, 0);
    EXPECT_EQ(image.operatorEnableAnalog, 1);
    for (int n = 36; n <= 42; ++n) EXPECT_EQ(blockAbsent[n], 0) << n;

    resetImage();
    fake.modbusLog.clear();
    image.operatorEnableOffsets = 1;
    modbusFunctionHandler(1, 36);
    EXPECT_EQ(trace(), Trace{"16:331:1=16"});
}

TEST_F(ModbusHandler, IndexRegisterThenEveryChannel) {
    firstChannel = 8;
    lastChannel = 15;
    int next = 0;
    fake.modbus = [&](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.function == 3) reply.data = {100 + next, 200 + next}, ++next;
        return reply;
    };
    modbusFunctionHandler(0, 7);
    ASSERT_EQ(fake.modbusLog.size(), 9u);
    EXPECT_EQ(trace()[0], "16:273:1=9");
    for (int i = 1; i < 9; ++i) EXPECT_EQ(trace()[i], "3:274:2");
    EXPECT_EQ(image.speedCompLeading[8], 100);
    EXPECT_EQ(image.speedCompTrailing[15], 207);
    EXPECT_EQ(image.speedCompLeading[7], 0);
    EXPECT_EQ(blockAbsent[7], 0);

    fake.modbusLog.clear();
    modbusFunctionHandler(1, 7);
    ASSERT_EQ(fake.modbusLog.size(), 9u);
    EXPECT_EQ(trace()[0], "16:273:1=9");
    EXPECT_EQ(trace()[1], "16:274:2=100=200");
    EXPECT_EQ(trace()[8], "16:274:2=107=207");
}

TEST_F(ModbusHandler, TimeOutInTheFourthElementStopsTheBlock) {
    firstChannel = 8;
    lastChannel = 15;
    int reads = 0;
    fake.modbus = [&](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.function == 3) {
            ++reads;
            reply.silent = reads == 4;
            reply.data = {reads, reads};
        }
        return reply;
    };
    modbusFunctionHandler(0, 7);
    EXPECT_EQ(fake.modbusLog.size(), 5u);  // index, three reads, the lost one
    EXPECT_EQ(image.speedCompLeading[8], 1);
    EXPECT_EQ(image.speedCompLeading[10], 3);
    EXPECT_EQ(image.speedCompLeading[11], 0);
    EXPECT_EQ(blockAbsent[7], -1);
}

TEST_F(ModbusHandler, CountsFromTheControllerAreBoundedByTheImage) {
    // 20 groups reported: only the image's eight are read.
    fake.registers[336] = 20;
    modbusFunctionHandler(0, 9);
    EXPECT_EQ(image.groupQuantity, 20);
    EXPECT_EQ(fake.modbusLog.size(), 2u + kMaxGroups);
    EXPECT_EQ(blockAbsent[9], 0);

    // A channel range beyond the arrays stops at the last channel.
    fake.modbusLog.clear();
    firstChannel = 120;
    lastChannel = 300;
    modbusFunctionHandler(1, 8);
    EXPECT_EQ(fake.modbusLog.size(), 1u + 8u);

    // An empty range sets the cursor to the first channel and reads nothing.
    fake.modbusLog.clear();
    firstChannel = 10;
    lastChannel = 9;
    modbusFunctionHandler(0, 8);
    EXPECT_EQ(trace(), Trace{"16:277:1=11"});
    EXPECT_NE(blockAbsent[8], 0);

    fake.modbusLog.clear();
    image.mappingCount = 1000;
    modbusFunctionHandler(1, 15);
    EXPECT_EQ(fake.modbusLog.size(), 1u + 2u * kMaxMappings);
}

TEST_F(ModbusHandler, ZeroGroupsReadsOnlyTheQuantity) {
    fake.registers[336] = 0;
    modbusFunctionHandler(0, 9);
    EXPECT_EQ(trace(), (Trace{"3:336:1", "16:280:1=1"}));
    EXPECT_EQ(blockAbsent[45], 0);
    EXPECT_NE(blockAbsent[9], 0);
    fake.modbusLog.clear();
    modbusFunctionHandler(0, 46);
    EXPECT_EQ(trace(), Trace{"16:337:1=1"});
    EXPECT_NE(blockAbsent[46], 0);
}

TEST_F(ModbusHandler, OptionsWriteOnlySetTheCursor) {
    modbusFunctionHandler(1, 5);
    EXPECT_EQ(trace(), Trace{"16:303:1=1"});
    fake.modbusLog.clear();
    fake.registers[304] = 1;
    modbusFunctionHandler(0, 5);
    EXPECT_EQ(fake.modbusLog.size(), 1u + kOptionCount);
    EXPECT_EQ(image.options[22], 1);
}

TEST_F(ModbusHandler, UnhandledNumbersSendNothing) {
    for (int n : {12, 13, 19, 23, 25, 37, 38, 39, 40, 41, 42, 47, 48, 50, 51, 52, 99, -1})
        for (int mode : {0, 1}) modbusFunctionHandler(mode, n);
    modbusFunctionHandler(2, 16);
    modbusFunctionHandler(3, 16);
    EXPECT_TRUE(fake.state->sent.empty());
}

TEST_F(ModbusHandler, MappingSlotsInUseAreAppended) {
    image.mapLimit = 3;
    int slot = 0;
    fake.modbus = [&](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.function == 16 && r.reg == 299) slot = r.values[0];
        if (r.function == 3) {
            if (slot == 1) reply.data = {2, 1000, 3, 4, 5};
            if (slot == 3) reply.data = {7, 1001, 1, 0, 0};
        }
        return reply;
    };
    modbusFunctionHandler(0, 15);
    EXPECT_EQ(trace(), (Trace{"16:299:1=1", "3:1:5", "16:299:1=2", "3:1:5", "16:299:1=3", "3:1:5"}));
    ASSERT_EQ(image.mappingCount, 2);
    EXPECT_EQ(image.mappings[0], (MappingRecord{2, 1000, 3, 4, 5}));
    EXPECT_EQ(image.mappings[1], (MappingRecord{7, 1001, 1, 0, 0}));
    EXPECT_EQ(blockAbsent[15], 0);
}

TEST_F(ModbusHandler, MappingSlotsAreRepeatedAfterAFaultAndARefusalLeavesTheTableAbsent) {
    image.mapLimit = 3;
    int reads = 0;
    int exception = 4;  // a failure inside the controller: the slot is asked for again
    fake.modbus = [&](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.function == 3 && ++reads == 2) reply.exception = exception;
        reply.data = {1, 2, 3, 4, 5};
        return reply;
    };
    image.mappingCount = 7;  // whatever an earlier read left: a read starts afresh
    EXPECT_TRUE(modbusFunctionHandler(0, 15).done);
    EXPECT_EQ(image.mappingCount, 3);
    EXPECT_EQ(blockAbsent[15], 0);

    // A refused slot after the first breaks the table the controller declared.
    reads = 0;
    exception = 2;
    fake.modbusLog.clear();
    const BlockResult refused = modbusFunctionHandler(0, 15);
    EXPECT_EQ(fake.modbusLog.size(), 4u);  // slot 3 is never asked for
    EXPECT_EQ(image.mappingCount, 1);
    EXPECT_EQ(blockAbsent[15], 2);
    EXPECT_FALSE(refused.done);
    EXPECT_TRUE(refused.spoiled);
    EXPECT_FALSE(refused.silent || refused.lineFault);
}

TEST_F(ModbusHandler, MappingsWriteRecordsThenTheirNumber) {
    image.mappingCount = 2;
    image.mappings[0] = {1, 500, 0, 0, 0};
    image.mappings[1] = {2, 501, 3, 1, 2};
    modbusFunctionHandler(1, 15);
    EXPECT_EQ(trace(), (Trace{"16:297:1=0", "16:1:5=1=500=0=0=0", "16:298:1=1", "16:1:5=2=501=3=1=2", "16:298:1=2"}));
}

// The controller's setpoint cursor: reading 264..268 gives the record and
// advances; the first read after setting the cursor is an empty record.
struct SetpointScript {
    std::vector<std::vector<int>> reads;  // program, channel, unused, on, off (1-based)
    std::size_t next = 0;
    int failAt = -1;
    ModbusReply operator()(const ModbusRequest& r) {
        ModbusReply reply;
        if (r.function != 3) return reply;
        if (static_cast<int>(next) == failAt) reply.exception = 11;
        if (next < reads.size()) reply.data = reads[next];
        ++next;
        return reply;
    }
};

TEST_F(ModbusHandler, EmptyFirstSetpointReadIsDropped) {
    setpointCount = 2;
    allocateSetpoints(2);
    SetpointScript script{{{0, 0, 0, 0, 0}, {1, 3, 0, 10, 20}, {20, 1, 0, 30, 40}}};
    fake.modbus = [&](const ModbusRequest& r) { return script(r); };
    modbusFunctionHandler(0, 49);
    EXPECT_EQ(trace(), (Trace{"16:264:1=1", "3:264:5", "3:264:5", "3:264:5"}));
    EXPECT_EQ(setpoints[0], (SetpointRecord{0, 2, 10, 20}));
    EXPECT_EQ(setpoints[1], (SetpointRecord{19, 0, 30, 40}));
    EXPECT_EQ(blockAbsent[49], 0);
    EXPECT_EQ(console.output, "\rSetpoint number = 0\rSetpoint number = 1\n");
}

TEST_F(ModbusHandler, FirstSetpointReadWithPositionsIsRecordZero) {
    setpointCount = 2;
    allocateSetpoints(2);
    SetpointScript script{{{1, 1, 0, 5, 6}, {2, 2, 0, 7, 8}}};
    fake.modbus = [&](const ModbusRequest& r) { return script(r); };
    modbusFunctionHandler(0, 49);
    EXPECT_EQ(fake.modbusLog.size(), 3u);
    EXPECT_EQ(setpoints[0], (SetpointRecord{0, 0, 5, 6}));
    EXPECT_EQ(setpoints[1], (SetpointRecord{1, 1, 7, 8}));
    EXPECT_EQ(console.output, "\rSetpoint number = 1\n");
}

TEST_F(ModbusHandler, FailedSetpointReadLeavesTheBlockAbsent) {
    setpointCount = 3;
    allocateSetpoints(3);
    SetpointScript script{{{0, 0, 0, 0, 0}, {1, 1, 0, 5, 6}, {9, 9, 0, 9, 9}, {2, 2, 0, 7, 8}}, 0, 2};
    fake.modbus = [&](const ModbusRequest& r) { return script(r); };
    modbusFunctionHandler(0, 49);
    EXPECT_EQ(fake.modbusLog.size(), 4u);  // stops at the failure
    EXPECT_EQ(blockAbsent[49], 11);
    EXPECT_EQ(setpoints[1], SetpointRecord{});
}

TEST_F(ModbusHandler, SetpointsWithoutStorageGrowSafely) {
    setpointCount = 2;  // nothing allocated
    SetpointScript script{{{1, 1, 0, 5, 6}, {2, 2, 0, 7, 8}}};
    fake.modbus = [&](const ModbusRequest& r) { return script(r); };
    modbusFunctionHandler(0, 49);
    ASSERT_GE(setpoints.size(), 2u);
    EXPECT_EQ(setpoints[1], (SetpointRecord{1, 1, 7, 8}));
}

TEST_F(ModbusHandler, SetpointWriteSequence) {
    setpointCount = 2;
    allocateSetpoints(2);
    setpoints[0] = {0, 2, 10, 20};
    setpoints[1] = {19, 0, 30, 40};
    modbusFunctionHandler(1, 49);
    EXPECT_EQ(trace(),
              (Trace{"16:262:1=0", "5:302:1=1", "16:264:2=1=3", "16:269:2=10=20", "16:264:2=20=1", "16:269:2=30=40"}));
    EXPECT_EQ(console.output, "\rSetpoint number = 0\rSetpoint number = 1\n");

    // A count larger than the records held sends only what exists.
    fake.modbusLog.clear();
    setpointCount = 5;
    modbusFunctionHandler(1, 49);
    EXPECT_EQ(fake.modbusLog.size(), 2u + 4u);
}

TEST_F(ModbusHandler, AnalogQuantityGoesOnWithThePairs) {
    fake.registers[310] = 2;
    fake.registers[288] = 11;
    fake.registers[289] = 22;
    modbusFunctionHandler(0, 20);
    EXPECT_EQ(trace(), (Trace{"3:310:1", "3:288:2", "3:288:2"}));
    EXPECT_EQ(image.analogOffset[1], 11);
    EXPECT_EQ(image.analogHighRpm[1], 22);
    EXPECT_EQ(blockAbsent[20], 0);
    EXPECT_EQ(blockAbsent[10], 0);

    // A lost pair leaves block 10 to be read again.
    resetImage();
    fake.modbus = [](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.reg == 310)
            reply.data = {2};
        else
            reply.exception = 2;
        return reply;
    };
    modbusFunctionHandler(0, 20);
    EXPECT_EQ(blockAbsent[20], 0);
    EXPECT_EQ(blockAbsent[10], 2);

    // No analog outputs: no pair to read, and block 10 is complete (empty).
    resetImage();
    fake.modbusLog.clear();
    fake.modbus = [](const ModbusRequest& r) { return ModbusReply{false, r.reg == 310 ? 0 : 2, {0}}; };
    modbusFunctionHandler(0, 20);
    EXPECT_EQ(trace(), Trace{"3:310:1"});
    EXPECT_EQ(blockAbsent[20], 0);
    EXPECT_EQ(blockAbsent[10], 0);

    // A failed quantity read does nothing else.
    resetImage();
    fake.modbusLog.clear();
    fake.modbus = [](const ModbusRequest&) { return ModbusReply{false, 2, {}}; };
    modbusFunctionHandler(0, 20);
    EXPECT_EQ(trace(), Trace{"3:310:1"});
    EXPECT_EQ(blockAbsent[20], 1);
    EXPECT_EQ(blockAbsent[10], 1);
}

TEST_F(ModbusHandler, CommandsRateSetupAndToggleRpm) {
    modbusFunctionHandler(1, 0);
    modbusFunctionHandler(0, 0);
    modbusFunctionHandler(1, 1);
    modbusFunctionHandler(0, 1);
    EXPECT_EQ(trace(), (Trace{"16:340:1=1", "16:340:1=0", "3:341:1"}));

    fake.modbusLog.clear();
    fake.registers[318] = 1500;
    fake.registers[319] = 3;
    fake.registers[320] = 2;
    fake.registers[321] = 1;
    modbusFunctionHandler(0, 27);
    EXPECT_EQ(trace(), Trace{"3:318:4"});
    EXPECT_EQ(image.rateMultiplier, 1500);
    EXPECT_EQ(image.rateDivisor, 3);
    EXPECT_EQ(image.rateDecimalPoint, 2);
    EXPECT_EQ(image.rateUnits, 1);

    // Block 28 reads the update rate even when the toggle read fails.
    fake.modbusLog.clear();
    fake.modbus = [](const ModbusRequest& r) {
        ModbusReply reply;
        if (r.reg == 322)
            reply.exception = 2;
        else
            reply.data = {2};
        return reply;
    };
    modbusFunctionHandler(0, 28);
    EXPECT_EQ(trace(), (Trace{"3:322:1", "3:323:1"}));
    EXPECT_EQ(image.rpmUpdateRate, 2);
    EXPECT_EQ(blockAbsent[28], 0);
}

}  // namespace
