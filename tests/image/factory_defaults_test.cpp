// Factory defaults and the steps after reading a full file.

#include "image_fixture.h"

namespace image_test {
namespace {

using FactoryDefaultsTest = ImageTest;

TEST_F(FactoryDefaultsTest, LargeModelDefaults) {
    image.options[5] = 1;
    configure(4344, 16);
    for (int n = 0; n < kFunctionCount + 10; ++n) EXPECT_EQ(factoryDefault(n), 0);
    EXPECT_EQ(image.defaultProgram, 0);
    EXPECT_EQ(image.analogHighRpm[0], 2000);
    EXPECT_EQ(image.analogHighRpm[1], 2000);
    EXPECT_EQ(image.motionLowRpm[1], 10);
    EXPECT_EQ(image.motionHighRpm[1], 3000);
    EXPECT_EQ(image.keyboardQuantity, 1);
    EXPECT_EQ(image.scaleFactor[0], 360);
    EXPECT_EQ(image.terminationResistor[1], 1);
    EXPECT_EQ(image.rateMultiplier, 1);
    EXPECT_EQ(image.rateDivisor, 1);
    EXPECT_EQ(image.toggleRpm, 20);
    EXPECT_EQ(image.speedCompMode, 1);
    EXPECT_EQ(image.operatorId, 2);
    EXPECT_EQ(image.setupId, 1);
    EXPECT_EQ(image.masterId, 3);
    for (int i = 0; i < kMaxChannels; ++i) EXPECT_EQ(image.channelEnable[i], i < 15 ? 1 : 0) << i;
    EXPECT_EQ(image.operatorEnableSetpoints, 1);
    EXPECT_EQ(image.operatorEnableAnalog, 1);
    EXPECT_EQ(image.groupQuantity, 1);
    EXPECT_EQ(image.groupChannelCount[0], 16);
    EXPECT_EQ(image.enableInputQuantity, 1);
}

TEST_F(FactoryDefaultsTest, SmallModelsAndFewChannels) {
    configure(3344, 2);  // lastChannel 1: one motion level
    for (int n = 0; n < kFunctionCount; ++n) factoryDefault(n);
    EXPECT_EQ(image.toggleRpm, 0);
    EXPECT_EQ(image.speedCompMode, 0);
    EXPECT_EQ(image.operatorId, 22);
    EXPECT_EQ(image.setupId, 11);
    EXPECT_EQ(image.channelEnable[0], 0);
    EXPECT_EQ(image.operatorEnableMotion, 0);
    EXPECT_EQ(image.motionHighRpm[0], 3000);
    EXPECT_EQ(image.motionHighRpm[1], 0);

    SetUp();
    configure(4344, 1);  // lastChannel 0: no motion levels
    factoryDefault(11);
    factoryDefault(35);
    EXPECT_EQ(image.motionHighRpm[0], 0);
    EXPECT_EQ(image.channelEnable[0], 0);

    SetUp();
    configure(4344, 1000);  // never beyond the channel array
    factoryDefault(35);
    EXPECT_EQ(image.channelEnable[kMaxChannels - 1], 1);
}

TEST_F(FactoryDefaultsTest, AfterReadingSteps) {
    image.options[6] = 1;
    configure(4354, 16);
    readAll("2: KR54\r\n6: 2\r\n9: 1,100\r\n19: 5\r\n20: 2\r\n");
    transferOptions.setDefaults = true;
    transferOptions.keepOffsets = true;
    applyAfterReadingSteps();
    EXPECT_EQ(lastChannel, 13);          // analog outputs taken off after the reading
    EXPECT_EQ(image.defaultProgram, 1);  // from the file, not the default
    EXPECT_EQ(image.keyboardQuantity, 1);
    for (int n = 0; n < kFunctionCount; ++n) EXPECT_EQ(blockAbsent[n], n == 9 || n == 19 ? 1 : 0) << n;
}

TEST_F(FactoryDefaultsTest, NoDefaultsNoChangesForMappingsOnlyFiles) {
    image.options[6] = 1;
    configure(4354, 16);
    readAll("2: KR54\r\n14: 500\r\n15: 1,40001,1,0,0\r\n");
    ASSERT_TRUE(transferOptions.mappingsOnly);
    transferOptions.setDefaults = true;
    transferOptions.keepOffsets = true;
    image.analogQuantity = 2;
    applyAfterReadingSteps();
    EXPECT_EQ(lastChannel, 15);
    EXPECT_EQ(image.keyboardQuantity, 0);
    EXPECT_EQ(blockAbsent[16], 1);
    EXPECT_EQ(blockAbsent[9], 1);

    // Without the options a full file is left as read.
    SetUp();
    configure(4344, 16);
    readAll("3: 1\r\n");
    applyAfterReadingSteps();
    EXPECT_EQ(blockAbsent[16], 1);
    EXPECT_EQ(image.keyboardQuantity, 0);
}

}  // namespace
}  // namespace image_test
