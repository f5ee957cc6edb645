// linkora-sim under TVX Standard, driven by the project's own transactions.
#include "sim_fixture.h"

namespace simtest {
namespace {

class SimTvx : public SimTest {};

TEST_F(SimTvx, IdentityAndOptionList) {
    start({});
    int v[8] = {};
    ASSERT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    EXPECT_EQ(v[0], 4344);
    ASSERT_EQ(tvx(COM_REVISION, "", "W", v), COM_OK);
    EXPECT_EQ(v[0], 312);
    ASSERT_EQ(tvx(COM_CHANNEL_QTY, "", "B", v), COM_OK);
    EXPECT_EQ(v[0], 16);
    ASSERT_EQ(tvx(COM_OPTIONS, "", "BBBBBBBB", v), COM_OK);
    EXPECT_EQ(replyFieldCount, 3);  // two options and the checksum
    EXPECT_EQ(v[0], 5);
    EXPECT_EQ(v[1], 6);
    ASSERT_EQ(tvx(COM_SPT_COUNT, "G", "W", v), COM_OK);
    EXPECT_EQ(v[0], 6);
}

TEST_F(SimTvx, SettingsGetAndPut) {
    start({});
    int v[8] = {};
    ASSERT_EQ(tvx(COM_KBD_QTY, "G", "B", v), COM_OK);
    EXPECT_EQ(v[0], 1);
    v[0] = 2;
    ASSERT_EQ(tvx(COM_KBD_QTY, "PB", "", v), COM_OK);
    ASSERT_EQ(tvx(COM_KBD_QTY, "G", "B", v), COM_OK);
    EXPECT_EQ(v[0], 2);
    ASSERT_EQ(tvx(COM_TOG_RPM, "G", "W", v), COM_OK);
    EXPECT_EQ(v[0], 20);
    ASSERT_EQ(tvx(COM_TERM_RES, "G", "BB", v), COM_OK);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 0);
    // Per channel: speed compensation of channel 4 (the -5 word).
    v[0] = 4;
    ASSERT_EQ(tvx(COM_SPEED_COMP_VAL, "GB", "WW", v), COM_OK);
    EXPECT_EQ(v[0], 65531);
    EXPECT_EQ(v[1], 3);
    int put[8] = {9, 111, 222};
    ASSERT_EQ(tvx(COM_SPEED_COMP_VAL, "PBWW", "", put), COM_OK);
    v[0] = 9;
    ASSERT_EQ(tvx(COM_SPEED_COMP_VAL, "GB", "WW", v), COM_OK);
    EXPECT_EQ(v[0], 111);
    EXPECT_EQ(v[1], 222);
    // Per group, and the group quantity bounded by the controller.
    v[0] = 2;
    ASSERT_EQ(tvx(COM_GROUP_OFFSET, "GB", "W", v), COM_OK);
    EXPECT_EQ(v[0], 270);
    v[0] = 9;
    EXPECT_EQ(tvx(COM_GROUP_QTY, "PB", "", v), COM_BAD_DATA);
    // The narrow rate setup, and the plain motion limits.
    ASSERT_EQ(tvx(COM_RATE_SETUP, "G", "BB", v), COM_OK);
    EXPECT_EQ(v[0], 250);
    EXPECT_EQ(v[1], 1);
    EXPECT_EQ(tvx(COM_RATE_SETUP_2, "G", "WWBB", v), COM_BAD_COMMAND);
    ASSERT_EQ(tvx(COM_LOLIMIT, "G", "W", v), COM_OK);
    EXPECT_EQ(v[0], 10);
    EXPECT_EQ(tvx(COM_LOLIMIT_2, "GB", "W", v), COM_BAD_COMMAND);
}

TEST_F(SimTvx, NegativeReplies) {
    start({});
    int v[8] = {};
    EXPECT_EQ(tvx(COM_HELLO, "", "", v), COM_BAD_COMMAND);
    EXPECT_EQ(tvx(COM_SHIFT_COUNT, "GBB", "W", v), COM_BAD_COMMAND);  // model 4444 only
    EXPECT_EQ(tvx(COM_INPUT_AND, "GB", "B", v), COM_BAD_COMMAND);
    v[0] = 16;  // one past the last channel
    EXPECT_EQ(tvx(COM_TIME_DELAY, "GB", "W", v), COM_BAD_DATA);
    EXPECT_EQ(tvx(COM_KBD_QTY, "GB", "B", v), COM_BAD_DATA);  // a field too many
    EXPECT_EQ(tvx(COM_MODEL, "P", "", v), COM_BAD_DATA);      // no put form
    v[0] = 6;
    EXPECT_EQ(tvx(COM_GET_SPT, "W", "BBWW", v), COM_BAD_DATA);
    RawLine raw(sim_->devicePath);
    EXPECT_EQ(raw.exchange("!01003E\r", "\r"), "N019F\r");    // checksum off by one
    EXPECT_EQ(raw.exchange(tvxLine("0200"), "\r", 300), "");  // another unit
}

TEST_F(SimTvx, SetpointsWideAndNarrow) {
    start({});
    int v[8] = {1};
    ASSERT_EQ(tvx(COM_GET_SPT_2, "W", "WBWW", v), COM_OK);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[1], 1);
    EXPECT_EQ(v[2], 100);
    EXPECT_EQ(v[3], 200);
    ASSERT_EQ(tvx(COM_WIPE_SPT, "", "", v), COM_OK);
    int a[8] = {300, 2, 40, 50};
    ASSERT_EQ(tvx(COM_ADD_SPT_2, "WBWW", "", a), COM_OK);
    int b[8] = {7, 3, 60, 70};
    ASSERT_EQ(tvx(COM_ADD_SPT, "BBWW", "", b), COM_OK);
    int bad[8] = {1, 16, 1, 2};
    EXPECT_EQ(tvx(COM_ADD_SPT, "BBWW", "", bad), COM_BAD_DATA);
    ASSERT_EQ(tvx(COM_SPT_COUNT, "G", "W", v), COM_OK);
    EXPECT_EQ(v[0], 2);
    v[0] = 0;
    ASSERT_EQ(tvx(COM_GET_SPT_2, "W", "WBWW", v), COM_OK);
    EXPECT_EQ((std::vector<int>(v, v + 4)), (std::vector<int>{300, 2, 40, 50}));
    v[0] = 1;
    ASSERT_EQ(tvx(COM_GET_SPT, "W", "BBWW", v), COM_OK);
    EXPECT_EQ((std::vector<int>(v, v + 4)), (std::vector<int>{7, 3, 60, 70}));
}

TEST_F(SimTvx, DefaultProgramInBanksOfEight) {
    start({});
    int v[8] = {};
    ASSERT_EQ(tvx(COM_PGM_BANK, "G", "B", v), COM_OK);
    EXPECT_EQ(v[0], 0);
    ASSERT_EQ(tvx(COM_DEFAULT_PGM, "G", "B", v), COM_OK);
    EXPECT_EQ(v[0], 2);
    v[0] = 2;
    ASSERT_EQ(tvx(COM_PGM_BANK, "PB", "", v), COM_OK);
    v[0] = 3;
    ASSERT_EQ(tvx(COM_DEFAULT_PGM, "PB", "", v), COM_OK);
    v[0] = 8;
    EXPECT_EQ(tvx(COM_DEFAULT_PGM, "PB", "", v), COM_BAD_DATA);
    int value = 0;
    ASSERT_EQ(readReg(271, value), 0);
    EXPECT_EQ(value, 20);  // program 19, as register value + 1
}

TEST_F(SimTvx, FirmwareVariants) {
    start({"--no-pgm-bank", "--narrow-setpoints", "--rate-setup-2", "--indexed-motion-limits"});
    int v[8] = {};
    EXPECT_EQ(tvx(COM_PGM_BANK, "G", "B", v), COM_BAD_COMMAND);
    v[0] = 300;
    ASSERT_EQ(tvx(COM_DEFAULT_PGM, "PW", "", v), COM_OK);
    ASSERT_EQ(tvx(COM_DEFAULT_PGM, "G", "W", v), COM_OK);
    EXPECT_EQ(v[0], 300);
    v[0] = 0;
    EXPECT_EQ(tvx(COM_GET_SPT_2, "W", "WBWW", v), COM_BAD_COMMAND);
    int add[8] = {1, 1, 5, 6};
    EXPECT_EQ(tvx(COM_ADD_SPT_2, "WBWW", "", add), COM_BAD_COMMAND);
    v[0] = 0;
    ASSERT_EQ(tvx(COM_GET_SPT, "W", "BBWW", v), COM_OK);
    EXPECT_EQ(v[2], 10);
    EXPECT_EQ(tvx(COM_RATE_SETUP, "G", "BB", v), COM_BAD_COMMAND);
    ASSERT_EQ(tvx(COM_RATE_SETUP_2, "G", "WWBB", v), COM_OK);
    EXPECT_EQ((std::vector<int>(v, v + 4)), (std::vector<int>{250, 1, 2, 1}));
    EXPECT_EQ(tvx(COM_HILIMIT, "G", "W", v), COM_BAD_COMMAND);
    v[0] = 1;
    ASSERT_EQ(tvx(COM_HILIMIT_2, "GB", "W", v), COM_OK);
    EXPECT_EQ(v[0], 2500);
}

TEST_F(SimTvx, Model4444ShiftCountsAndInputAnding) {
    start({"--model", "4444"});
    int v[8] = {3, 5};
    ASSERT_EQ(tvx(COM_SHIFT_COUNT, "GBB", "W", v), COM_OK);
    EXPECT_EQ(v[0], 17);
    int put[8] = {47, 24, 9};
    ASSERT_EQ(tvx(COM_SHIFT_COUNT, "PBBW", "", put), COM_OK);
    int bad[8] = {48, 0, 1};
    EXPECT_EQ(tvx(COM_SHIFT_COUNT, "PBBW", "", bad), COM_BAD_DATA);
    // Input ANDing travels as the channel number less one, in a signed byte.
    v[0] = 1;
    ASSERT_EQ(tvx(COM_INPUT_AND, "GB", "B", v), COM_OK);
    EXPECT_EQ(v[0], 2);
    v[0] = 0;
    ASSERT_EQ(tvx(COM_INPUT_AND, "GB", "B", v), COM_OK);
    EXPECT_EQ(v[0], 0xFF);
    int set[8] = {0, 4};
    ASSERT_EQ(tvx(COM_INPUT_AND, "PBB", "", set), COM_OK);
    v[0] = 0;
    ASSERT_EQ(tvx(COM_INPUT_AND, "GB", "B", v), COM_OK);
    EXPECT_EQ(v[0], 4);
}

}  // namespace
}  // namespace simtest
