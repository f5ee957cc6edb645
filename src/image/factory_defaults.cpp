// Factory defaults of the blocks a data file may lack. The image has been
// zeroed before the file was read; only the values below are set.

#include <algorithm>

#include "image/controller_image.h"
#include "image/data_file.h"

namespace {

// The controller's factory ID numbers. The larger models (configModel above
// 3344) ship with operator ID 2 and setup ID 1, the smaller ones with 22 and
// 11; the master ID is 3 on every model that has one.
constexpr int32_t kFactoryOperatorIdLarge = 2;
constexpr int32_t kFactorySetupIdLarge = 1;
constexpr int32_t kFactoryOperatorIdSmall = 22;
constexpr int32_t kFactorySetupIdSmall = 11;
constexpr int32_t kFactoryMasterId = 3;

constexpr int32_t kDefaultHighRpm = 2000;
constexpr int32_t kDefaultMotionLow = 10;
constexpr int32_t kDefaultMotionHigh = 3000;

bool largeModel() { return modelIsLarge(configModel); }

void defaultProgram() { image.defaultProgram = 0; }
void analogOutputs() { image.analogHighRpm[0] = image.analogHighRpm[1] = kDefaultHighRpm; }
void motionDetection() {
    if (lastChannel < 1) return;
    image.motionLowRpm[0] = kDefaultMotionLow;
    image.motionHighRpm[0] = kDefaultMotionHigh;
    if (lastChannel == 1) return;
    image.motionLowRpm[1] = kDefaultMotionLow;
    image.motionHighRpm[1] = kDefaultMotionHigh;
}
void keyboardQuantity() { image.keyboardQuantity = 1; }
void scaleFactor() { image.scaleFactor[0] = 360; }
void terminationResistors() { image.terminationResistor[0] = image.terminationResistor[1] = 1; }
void rateSetup() {
    image.rateMultiplier = 1;
    image.rateDivisor = 1;
}
void toggleRpm() {
    if (largeModel()) image.toggleRpm = 20;
}
void speedCompMode() {
    if (effectiveOptions[kOptionLeadingTrailing] != 0) image.speedCompMode = 1;
}
void operatorId() { image.operatorId = largeModel() ? kFactoryOperatorIdLarge : kFactoryOperatorIdSmall; }
void setupId() { image.setupId = largeModel() ? kFactorySetupIdLarge : kFactorySetupIdSmall; }
void masterId() { image.masterId = kFactoryMasterId; }
void channelEnables() {
    if (!largeModel() || lastChannel <= 0) return;
    const int32_t end = std::min<int32_t>(lastChannel, kMaxChannels);
    for (int32_t i = 0; i < end; ++i) image.channelEnable[i] = 1;
}
void groupQuantity() { image.groupQuantity = 1; }
void groupConfig() { image.groupChannelCount[0] = image.outputQuantity; }
void enableInputQuantity() { image.enableInputQuantity = 1; }

// The operator enables of blocks 36 to 42, on for the larger models.
int32_t ControllerImage::*const kOperatorEnables[] = {
    &ControllerImage::operatorEnableSetpoints, &ControllerImage::operatorEnableDefaultProgram,
    &ControllerImage::operatorEnableSpeedComp, &ControllerImage::operatorEnableTimedOutputs,
    &ControllerImage::operatorEnableOffsets,   &ControllerImage::operatorEnableMotion,
    &ControllerImage::operatorEnableAnalog,
};
constexpr int kFirstOperatorEnable = 36;

struct FactoryDefault {
    int functionNumber;
    void (*apply)();
};

constexpr FactoryDefault kFactoryDefaults[] = {
    {6, defaultProgram},  {10, analogOutputs},        {11, motionDetection}, {16, keyboardQuantity},
    {18, scaleFactor},    {25, terminationResistors}, {27, rateSetup},       {28, toggleRpm},
    {30, speedCompMode},  {32, operatorId},           {33, setupId},         {34, masterId},
    {35, channelEnables}, {45, groupQuantity},        {46, groupConfig},     {47, enableInputQuantity},
};

}  // namespace

int factoryDefault(int functionNumber) {
    for (const auto& d : kFactoryDefaults) {
        if (d.functionNumber == functionNumber) d.apply();
    }
    const int enable = functionNumber - kFirstOperatorEnable;
    if (enable >= 0 && enable < static_cast<int>(std::size(kOperatorEnables)) && largeModel()) {
        image.*kOperatorEnables[enable] = 1;
    }
    return 0;
}
