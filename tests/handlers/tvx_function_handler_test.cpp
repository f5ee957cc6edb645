// The TVX Standard handler against a scripted controller: commands, fields,
// fallbacks and the conversions of blocks 6, 50 and 51.
#include <gtest/gtest.h>

#include "handlers/fake_controller.h"
#include "handlers/function_handlers.h"
#include "image/controller_image.h"
#include "link/tvx.h"

using namespace handlers_test;

namespace {

class TvxHandler : public ::testing::Test {
protected:
    void SetUp() override {
        resetImage();
        releaseSetpoints();
        std::fill(std::begin(effectiveOptions), std::end(effectiveOptions), 0);
        firstChannel = 0;
        lastChannel = -1;
        fake.open();
    }
    void TearDown() override { releaseSetpoints(); }

    // "command data" for every request, in order.
    std::vector<std::string> trace() const {
        std::vector<std::string> out;
        for (const TvxRequest& r : fake.tvxLog) out.push_back(std::to_string(r.command) + " " + r.data);
        return out;
    }

    CaptureConsole console;
    FakeController fake;
};

using Trace = std::vector<std::string>;

TEST_F(TvxHandler, SingleSettingsFromTheTable) {
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_MODEL) return tvxOk("W", {4344});
        if (r.command == COM_TERM_RES) return tvxOk("BB", {1, 0});
        if (r.command == COM_SCALE_FACTOR) return tvxOk("W", {0xFFFF});
        return tvxRefuse(3);
    };
    tvxFunctionHandler(0, 2);
    tvxFunctionHandler(0, 25);
    tvxFunctionHandler(0, 18);
    tvxFunctionHandler(0, 16);
    EXPECT_EQ(trace(), (Trace{"0 ", "97 G", "19 G", "86 G"}));
    EXPECT_EQ(image.model, 4344);
    EXPECT_EQ(image.terminationResistor[0], 1);
    EXPECT_EQ(image.terminationResistor[1], 0);
    EXPECT_EQ(image.scaleFactor[0], 65535);
    EXPECT_EQ(blockAbsent[2], 0);
    EXPECT_EQ(blockAbsent[25], 0);
    EXPECT_EQ(blockAbsent[16], COM_BAD_COMMAND);

    fake.tvxLog.clear();
    image.terminationResistor[0] = 1;
    image.terminationResistor[1] = 1;
    image.operatorId = 0x1234;
    image.operatorEnableAnalog = 1;
    tvxFunctionHandler(1, 25);
    tvxFunctionHandler(1, 32);
    tvxFunctionHandler(1, 42);
    tvxFunctionHandler(1, 2);  // identity: never written
    EXPECT_EQ(trace(), (Trace{"97 P0101", "14 P1234", "108 P01"}));
}

TEST_F(TvxHandler, UnhandledNumbersSendNothing) {
    for (int n : {13, 14, 15, 52, 60, -3})
        for (int mode : {0, 1}) tvxFunctionHandler(mode, n);
    tvxFunctionHandler(1, 2);
    tvxFunctionHandler(0, 1);
    tvxFunctionHandler(2, 16);
    EXPECT_TRUE(fake.state->sent.empty());
}

TEST_F(TvxHandler, ProgramNineteenIsBankTwoProgramThree) {
    fake.tvx = [](const TvxRequest&) { return tvxOk(); };
    image.defaultProgram = 19;
    tvxFunctionHandler(1, 6);
    EXPECT_EQ(trace(), (Trace{"25 P02", "24 P03"}));

    fake.tvxLog.clear();
    fake.tvx = [](const TvxRequest& r) { return r.command == COM_PGM_BANK ? tvxRefuse(3) : tvxOk(); };
    tvxFunctionHandler(1, 6);
    EXPECT_EQ(trace(), (Trace{"25 P02", "24 P0013"}));
}

TEST_F(TvxHandler, DefaultProgramReadWithAndWithoutBanks) {
    fake.tvx = [](const TvxRequest& r) { return r.command == COM_PGM_BANK ? tvxOk("B", {2}) : tvxOk("B", {3}); };
    tvxFunctionHandler(0, 6);
    EXPECT_EQ(trace(), (Trace{"25 G", "24 G"}));
    EXPECT_EQ(image.defaultProgram, 19);
    EXPECT_EQ(blockAbsent[6], 0);

    resetImage();
    fake.tvx = [](const TvxRequest& r) { return r.command == COM_PGM_BANK ? tvxRefuse(3) : tvxOk("W", {300}); };
    tvxFunctionHandler(0, 6);
    EXPECT_EQ(image.defaultProgram, 300);
    EXPECT_EQ(blockAbsent[6], 0);

    // Bank accepted, program refused: nothing usable was read.
    resetImage();
    fake.tvx = [](const TvxRequest& r) { return r.command == COM_PGM_BANK ? tvxOk("B", {2}) : tvxRefuse(4); };
    tvxFunctionHandler(0, 6);
    EXPECT_EQ(image.defaultProgram, 0);
    EXPECT_NE(blockAbsent[6], 0);
}

TEST_F(TvxHandler, OptionListSetsExactlyTheListedOptions) {
    image.options[3] = 1;
    fake.tvx = [](const TvxRequest&) { return tvxOk("BBB", {1, 6, 40}); };
    tvxFunctionHandler(0, 5);
    EXPECT_EQ(trace(), Trace{"2 "});
    for (int i = 0; i < kOptionCount; ++i) EXPECT_EQ(image.options[i], (i == 1 || i == 6) ? 1 : 0) << i;
    EXPECT_EQ(blockAbsent[5], 0);

    // Eight option numbers fill the format; the last counted field is taken
    // for the checksum, so only the first seven count.
    fake.tvx = [](const TvxRequest&) { return tvxOk("BBBBBBBB", {1, 2, 3, 4, 5, 6, 7, 8}); };
    tvxFunctionHandler(0, 5);
    for (int i = 0; i < kOptionCount; ++i) EXPECT_EQ(image.options[i], (i >= 1 && i <= 7) ? 1 : 0) << i;

    fake.tvx = [](const TvxRequest&) { return tvxRefuse(3); };
    tvxFunctionHandler(0, 5);
    for (int i = 0; i < kOptionCount; ++i) EXPECT_EQ(image.options[i], 0);
    EXPECT_EQ(blockAbsent[5], COM_BAD_COMMAND);
}

TEST_F(TvxHandler, ZeroGroupsSendsOnlyTheQuantityRequest) {
    fake.tvx = [](const TvxRequest&) { return tvxOk("B", {0}); };
    tvxFunctionHandler(0, 9);
    tvxFunctionHandler(0, 46);
    EXPECT_EQ(trace(), Trace{"29 G"});
    EXPECT_EQ(blockAbsent[45], 0);
    EXPECT_NE(blockAbsent[9], 0);
    EXPECT_NE(blockAbsent[46], 0);
}

TEST_F(TvxHandler, GroupsAreReadInOrderAndBounded) {
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_GROUP_QTY) return tvxOk("B", {12});
        return tvxOk("W", {100 + r.fields("GB")[0]});
    };
    tvxFunctionHandler(0, 9);
    ASSERT_EQ(fake.tvxLog.size(), 1u + kMaxGroups);
    EXPECT_EQ(trace()[1], "30 G00");
    EXPECT_EQ(trace()[8], "30 G07");
    EXPECT_EQ(image.groupOffset[7], 107);
    EXPECT_EQ(blockAbsent[9], 0);

    fake.tvxLog.clear();
    image.groupQuantity = 2;
    image.groupChannelCount[1] = 5;
    image.groupMode[1] = 1;
    tvxFunctionHandler(1, 46);
    EXPECT_EQ(trace(), (Trace{"31 P0000", "33 P0000", "31 P0105", "33 P0101"}));
}

TEST_F(TvxHandler, PerChannelReadStopsAtTheFirstFailure) {
    firstChannel = 2;
    lastChannel = 5;
    fake.tvx = [](const TvxRequest& r) {
        const int ch = r.fields("GB")[0];
        return ch == 4 ? tvxRefuse(14) : tvxOk("WW", {ch, 1000 + ch});
    };
    tvxFunctionHandler(0, 7);
    EXPECT_EQ(trace(), (Trace{"27 G02", "27 G03", "27 G04"}));
    EXPECT_EQ(image.speedCompTrailing[3], 1003);
    EXPECT_EQ(image.speedCompLeading[4], 0);
    EXPECT_EQ(blockAbsent[7], COM_BAD_CHN_NUMBER);

    fake.tvxLog.clear();
    tvxFunctionHandler(1, 7);
    EXPECT_EQ(trace(), (Trace{"27 P02000203EA", "27 P03000303EB", "27 P0400000000", "27 P0500000000"}));
}

TEST_F(TvxHandler, OneAnalogOutputOnSmallModelsWithTheOption) {
    image.model = 3300;
    effectiveOptions[6] = 1;
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_ANALOG_QTY) return tvxOk("B", {2});
        return tvxOk("WW", {5, 1800});
    };
    tvxFunctionHandler(0, 10);
    EXPECT_EQ(trace(), (Trace{"75 G", "28 G00"}));
    EXPECT_EQ(image.analogQuantity, 1);
    EXPECT_EQ(image.analogHighRpm[0], 1800);
    EXPECT_EQ(blockAbsent[10], 0);

    fake.tvxLog.clear();
    image.analogQuantity = 2;
    tvxFunctionHandler(1, 10);
    EXPECT_EQ(trace(), Trace{"28 P0000050708"});

    // Without the rule, no analog outputs means block 10 is left alone.
    fake.tvxLog.clear();
    effectiveOptions[6] = 0;
    image.analogQuantity = 0;
    tvxFunctionHandler(1, 10);
    EXPECT_TRUE(fake.tvxLog.empty());
}

TEST_F(TvxHandler, MotionLimitsFallBackToIndexedLevels) {
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_LOLIMIT || r.command == COM_HILIMIT) return tvxRefuse(3);
        const int level = r.fields("GB")[0];
        return tvxOk("W", {r.command == COM_LOLIMIT_2 ? 10 + level : 500 + level});
    };
    tvxFunctionHandler(0, 11);
    EXPECT_EQ(trace(), (Trace{"21 G", "72 G00", "73 G00", "72 G01", "73 G01"}));
    EXPECT_EQ(image.motionLowRpm[1], 11);
    EXPECT_EQ(image.motionHighRpm[1], 501);
    EXPECT_EQ(blockAbsent[11], 0);

    fake.tvxLog.clear();
    tvxFunctionHandler(1, 11);
    EXPECT_EQ(trace(), (Trace{"21 P000A", "72 P00000A", "73 P0001F4", "72 P01000B", "73 P0101F5"}));

    fake.tvxLog.clear();
    fake.tvx = [](const TvxRequest&) { return tvxOk("W", {7}); };
    tvxFunctionHandler(1, 11);
    EXPECT_EQ(trace(), (Trace{"21 P000A", "22 P01F4"}));
    // One level: a lost high limit leaves the block absent, without falling back.
    resetImage();
    fake.tvxLog.clear();
    fake.tvx = [](const TvxRequest& r) { return r.command == COM_LOLIMIT ? tvxOk("W", {30}) : tvxRefuse(4); };
    tvxFunctionHandler(0, 11);
    EXPECT_EQ(trace(), (Trace{"21 G", "22 G"}));
    EXPECT_EQ(image.motionLowRpm[0], 30);
    EXPECT_EQ(blockAbsent[11], COM_BAD_DATA);
}

TEST_F(TvxHandler, RateSetupFallsBackToFourFields) {
    image.rateDecimalPoint = 3;
    fake.tvx = [](const TvxRequest&) { return tvxOk("BB", {100, 2}); };
    tvxFunctionHandler(0, 27);
    EXPECT_EQ(image.rateMultiplier, 100);
    EXPECT_EQ(image.rateUnits, 2);
    EXPECT_EQ(image.rateDivisor, 1);
    EXPECT_EQ(image.rateDecimalPoint, 3);
    EXPECT_EQ(blockAbsent[27], 0);

    resetImage();
    fake.tvxLog.clear();
    fake.tvx = [](const TvxRequest& r) {
        return r.command == COM_RATE_SETUP ? tvxRefuse(3) : tvxOk("WWBB", {1000, 60, 1, 3});
    };
    tvxFunctionHandler(0, 27);
    EXPECT_EQ(trace(), (Trace{"87 G", "96 G"}));
    EXPECT_EQ(image.rateDivisor, 60);
    EXPECT_EQ(image.rateUnits, 3);

    fake.tvxLog.clear();
    tvxFunctionHandler(1, 27);
    EXPECT_EQ(trace(), (Trace{"87 PE803", "96 P03E8003C0103"}));
}

TEST_F(TvxHandler, WideSetpointsReadAndWritten) {
    setpointCount = 2;
    allocateSetpoints(2);
    fake.tvx = [](const TvxRequest& r) {
        if (r.command != COM_GET_SPT_2) return tvxOk();
        const int i = r.fields("W")[0];
        return tvxOk("WBWW", {300 + i, i, 10 * i, 10 * i + 5});
    };
    tvxFunctionHandler(0, 49);
    EXPECT_EQ(trace(), (Trace{"61 0000", "61 0000", "61 0001"}));
    EXPECT_EQ(setpoints[1], (SetpointRecord{301, 1, 10, 15}));
    EXPECT_EQ(blockAbsent[49], 0);
    EXPECT_EQ(console.output, "\rSetpoint number = 0\rSetpoint number = 1\n");

    fake.tvxLog.clear();
    tvxFunctionHandler(1, 49);
    EXPECT_EQ(trace(), (Trace{"35 ", "61 0000", "62 012C0000000005", "62 012D01000A000F"}));
}

TEST_F(TvxHandler, WideFirmwareAfterTheWipeStaysWide) {
    setpointCount = 1;
    allocateSetpoints(1);
    setpoints[0] = {300, 1, 7, 8};
    // The wiped controller has no setpoint 0 to show, but knows the command.
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_GET_SPT_2) return tvxRefuse(COM_BAD_DATA);
        return r.command == COM_GET_SPT ? tvxOk("BBWW", {0, 0, 7, 8}) : tvxOk();
    };
    tvxFunctionHandler(1, 49);
    EXPECT_EQ(trace(), (Trace{"35 ", "61 0000", "62 012C0100070008"}));

    // Reading, the same answer means the narrow commands.
    fake.tvxLog.clear();
    tvxFunctionHandler(0, 49);
    EXPECT_EQ(fake.tvxCommands(), (std::vector<int>{COM_GET_SPT_2, COM_GET_SPT}));
}

TEST_F(TvxHandler, NarrowSetpointsAndAFailedRead) {
    setpointCount = 3;
    allocateSetpoints(3);
    fake.tvx = [](const TvxRequest& r) {
        if (r.command == COM_WIPE_SPT || r.command == COM_ADD_SPT) return tvxOk();
        if (r.command != COM_GET_SPT) return tvxRefuse(3);
        const int i = r.fields("W")[0];
        return i == 1 ? tvxRefuse(4) : tvxOk("BBWW", {i, i, 1, 2});
    };
    tvxFunctionHandler(0, 49);
    EXPECT_EQ(trace(), (Trace{"61 0000", "36 0000", "36 0001"}));
    EXPECT_EQ(blockAbsent[49], COM_BAD_DATA);

    fake.tvxLog.clear();
    setpoints[0] = {5, 6, 7, 8};
    setpointCount = 1;
    tvxFunctionHandler(1, 49);
    EXPECT_EQ(trace(), (Trace{"35 ", "61 0000", "37 050600070008"}));

    // No setpoints: reading sends nothing, writing still wipes.
    fake.tvxLog.clear();
    resetImage();
    setpointCount = 0;
    tvxFunctionHandler(0, 49);
    tvxFunctionHandler(1, 49);
    EXPECT_EQ(trace(), Trace{"35 "});
    EXPECT_EQ(blockAbsent[49], 1);
}

TEST_F(TvxHandler, InputAndingOnlyOnItsModel) {
    image.model = 4344;
    firstChannel = 0;
    lastChannel = 2;
    tvxFunctionHandler(1, 50);
    tvxFunctionHandler(1, 51);
    EXPECT_TRUE(fake.tvxLog.empty());
    EXPECT_EQ(blockAbsent[50], 1);
    EXPECT_EQ(blockAbsent[51], 1);

    image.model = 4444;
    fake.tvx = [](const TvxRequest& r) {
        const int ch = r.fields("GB")[0];
        return tvxOk("B", {ch == 0 ? 0xFF : ch - 1});
    };
    tvxFunctionHandler(0, 50);
    EXPECT_EQ(image.inputEnableAnding[0], 0);
    EXPECT_EQ(image.inputEnableAnding[1], 1);
    EXPECT_EQ(image.inputEnableAnding[2], 2);
    EXPECT_EQ(blockAbsent[50], 0);

    // Written so that it reads back the same.
    fake.tvxLog.clear();
    tvxFunctionHandler(1, 50);
    EXPECT_EQ(trace(), (Trace{"89 P00FF", "89 P0100", "89 P0201"}));
}

// The image holds 24 entries: on a controller with more outputs the channels
// beyond are neither read nor overwritten.
TEST_F(TvxHandler, InputAndingStopsAtTheTwentyFourEntries) {
    image.model = 4444;
    lastChannel = 31;
    std::vector<int> channels;
    fake.tvx = [&channels](const TvxRequest& r) {
        channels.push_back(r.fields("GB")[0]);
        return tvxOk("B", {0xFF});
    };
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        channels.clear();
        tvxFunctionHandler(mode, 50);
        ASSERT_EQ(channels.size(), 24u);
        EXPECT_EQ(channels.back(), 23);
    }
    EXPECT_EQ(blockAbsent[50], 0);
}

TEST_F(TvxHandler, ShiftCountsSkipZeroAndTravelPlusOne) {
    image.model = 4444;
    firstChannel = 0;
    lastChannel = 2;  // channels 0 and 1
    image.shiftRegisterCount[0][0] = 4;
    image.shiftRegisterCount[47][1] = 1;
    image.shiftRegisterCount[3][2] = 9;  // outside the range
    fake.tvx = [](const TvxRequest&) { return tvxOk(); };
    tvxFunctionHandler(1, 51);
    EXPECT_EQ(trace(), (Trace{"90 P00000005", "90 P2F010002"}));
    EXPECT_TRUE(console.output.empty());

    fake.tvxLog.clear();
    fake.tvx = [](const TvxRequest& r) {
        const std::vector<int> f = r.fields("GBB");
        if (f[0] == 1 && f[1] == 1) return tvxRefuse(13);
        return tvxOk("W", {f[0] * 10 + f[1]});
    };
    tvxFunctionHandler(0, 51);
    EXPECT_EQ(fake.tvxLog.size(), 4u);
    EXPECT_EQ(image.shiftRegisterCount[1][0], 10);
    EXPECT_EQ(blockAbsent[51], COM_BAD_PGM_NUMBER);
    EXPECT_EQ(console.output,
              "Getting shift counts (this may take a while) \n\rProgram : 0 \rProgram : 1 \r"
              "Error Getting shift counts!! \n\r");
}

TEST_F(TvxHandler, CommandsAndTheirModes) {
    fake.tvx = [](const TvxRequest&) { return tvxOk(); };
    tvxFunctionHandler(0, 0);
    tvxFunctionHandler(1, 0);
    tvxFunctionHandler(1, 1);
    EXPECT_EQ(fake.tvxCommands(), (std::vector<int>{COM_RESET, COM_STOP, COM_CHECKSUM}));
}

}  // namespace
