#pragma once
// The images behind the golden data files in tests/data. Each function sets
// the image and the working values as an upload would have left them.

#include "image_fixture.h"

namespace image_test {

// Model 3300 with the Gray code option (16 outputs after the Gray
// adjustment), read over TVX Standard.
inline void sample3300Gray() {
    image.options[1] = 1;
    ImageTest::configure(3300, 16);
    image.firmwareRevision = 512;
    image.defaultProgram = 2;
    image.speedCompLeading[3] = 65536 - 5;
    image.speedCompTrailing[5] = 7;
    image.speedCompLeading[9] = 10000;
    image.timedOutputDelay[2] = 250;
    image.groupQuantity = 1;
    image.groupOffset[0] = 45;
    image.motionLowRpm[0] = 10;
    image.motionHighRpm[0] = 3000;
    image.grayCodeSpeedComp = 15;
    image.keyboardQuantity = 1;
    image.rotationDirection[0] = 1;
    image.scaleFactor[0] = 360;
    image.shaftOffset[0] = 123;
    image.programSelectMode = 2;
    image.grayOutputLevel = 1;
    image.timeBase = 1;
    image.terminationResistor[0] = 1;
    image.defaultDisplay = 2;
    image.toggleRpm = 20;
    image.rpmUpdateRate = 1;
    image.operatorId = 22;
    image.setupId = 11;
    for (int i = 0; i < 16; ++i) image.channelEnable[i] = 1;
    image.channelEnable[4] = 0;
    image.operatorEnableSetpoints = 1;
    image.operatorEnableSpeedComp = 1;
    image.operatorEnableOffsets = 1;
    image.motionAnding[0] = 1;
    image.motionAnding[8] = 2;
    image.enableInputQuantity = 1;
    allocateSetpoints(2);
    setpoints[0] = {0, 0, 100, 200};
    setpoints[1] = {1, 2, -10, 3599};
    setpointCount = 2;
    ImageTest::present({2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
                        28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49});
}

// Model 4344 with leading/trailing speed compensation and two analog outputs
// (the unit configuration clears option entry 6 for this model), read over
// MODBUS.
inline void sample4344LeadingTrailingAnalog() {
    image.options[0] = 1;
    image.options[5] = 1;
    image.options[9] = 1;
    ImageTest::configure(4344, 24);
    image.analogQuantity = 2;
    lastChannel = 23 - 2;
    image.firmwareRevision = 301;
    image.speedCompLeading[0] = 12;
    image.speedCompTrailing[0] = 65535;
    image.speedCompTrailing[21] = 3;
    image.speedCompLeading[22] = 99;  // an analog output's channel: not written
    image.groupQuantity = 2;
    image.groupOffset[0] = 100;
    image.groupOffset[1] = -20;
    image.analogOffset[0] = 5;
    image.analogOffset[1] = 6;
    image.analogHighRpm[0] = 2000;
    image.analogHighRpm[1] = 3000;
    image.motionLowRpm[0] = 10;
    image.motionHighRpm[0] = 3000;
    image.motionLowRpm[1] = 20;
    image.motionHighRpm[1] = 2500;
    image.mapLimit = 500;
    image.mappingCount = 3;
    image.mappings[0] = {1, 40001, 0, 0, 0};
    image.mappings[1] = {2, 40010, 3, 4, 1};
    image.mappings[2] = {9, 40020, 1, 7, 8};
    image.keyboardQuantity = 2;
    image.scaleFactor[0] = 1000;
    image.shaftOffset[0] = -7;
    image.resolverType = 1;
    image.rateMultiplier = 1000;
    image.rateDivisor = 60;
    image.rateDecimalPoint = 2;
    image.rateUnits = 1;
    image.rpmUpdateRate = 2;
    image.speedCompMode = 1;
    image.groupPositionDisplayMode = 1;
    image.operatorId = 2;
    image.setupId = 1;
    image.masterId = 3;
    for (int i = 0; i < 22; ++i) image.channelEnable[i] = 1;
    image.operatorEnableSetpoints = image.operatorEnableDefaultProgram = image.operatorEnableSpeedComp = 1;
    image.operatorEnableTimedOutputs = image.operatorEnableOffsets = image.operatorEnableMotion = 1;
    image.operatorEnableAnalog = 1;
    image.outputEnableAnding[23] = 1;
    image.groupChannelCount[0] = 12;
    image.groupChannelCount[1] = 10;
    image.groupMode[1] = 1;
    image.enableInputQuantity = 2;
    image.groupPositionMode = 1;
    setpointCount = 0;
    ImageTest::present({2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 25, 26, 27,
                        28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49});
}

// Model 4444 with shift register counts and input enable ANDing.
inline void sample4444ShiftCounts() {
    image.options[20] = 1;
    ImageTest::configure(4444, 8);
    image.firmwareRevision = 100;
    image.defaultProgram = 47;
    image.groupQuantity = 1;
    image.scaleFactor[0] = 360;
    image.rotationDirection[0] = 1;
    image.rateMultiplier = 1;
    image.rateDivisor = 1;
    image.masterId = 3;
    for (int i = 0; i < 8; ++i) image.channelEnable[i] = 1;
    image.groupChannelCount[0] = 8;
    allocateSetpoints(1);
    setpoints[0] = {47, 7, 0, 359};
    setpointCount = 1;
    image.inputEnableAnding[0] = 1;
    image.inputEnableAnding[1] = 2;
    image.inputEnableAnding[23] = 8;
    image.shiftRegisterCount[0][0] = 5;
    image.shiftRegisterCount[0][7] = 9;  // the channel of lastChannel: not written
    image.shiftRegisterCount[47][6] = 1;
    image.shiftRegisterCount[2][3] = 10;
    ImageTest::present({2, 3, 4, 5, 6, 9, 11, 17, 18, 19, 27, 34, 35, 45, 46, 49, 50, 51});
}

// Model 4544: two resolvers.
inline void sample4544Resolvers() {
    ImageTest::configure(4544, 32);
    image.firmwareRevision = 7;
    image.rotationDirection[1] = 1;
    image.scaleFactor[0] = 360;
    image.scaleFactor[1] = 720;
    image.shaftOffset[0] = 10;
    image.shaftOffset[1] = -10;
    ImageTest::present({2, 3, 4, 17, 18, 19});
}

// Model 4356, written under its designation KR56.
inline void sample4356() {
    image.options[4] = image.options[5] = image.options[6] = 1;
    ImageTest::configure(4356, 16);
    image.analogQuantity = 1;
    image.analogHighRpm[0] = 2000;
    image.motionLowRpm[0] = image.motionLowRpm[1] = 10;
    image.motionHighRpm[0] = image.motionHighRpm[1] = 3000;
    ImageTest::present({2, 4, 5, 10, 11, 20});
}

}  // namespace image_test
