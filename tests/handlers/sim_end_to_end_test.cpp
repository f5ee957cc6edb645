// Both handlers and the connection step against linkora-sim on a
// pseudo-terminal: every block read, changed, written back, and read again
// from the simulator and from the state it saved.
#ifdef LINKORA_SIM_BIN

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "common/settings.h"
#include "handlers/fake_controller.h"
#include "handlers/function_handlers.h"
#include "image/controller_image.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "support/sim_process.h"
#include "transfer/connection.h"

using namespace handlers_test;
using testing_support::TempDir;

namespace {

using Sim = testing_support::SimProcess;

// Every field of the image by name, for comparisons that say what differs.
// block, name, first element, elements
using FieldList = std::vector<std::tuple<int, const char*, const int32_t*, int>>;
FieldList fieldsOf(const ControllerImage& m) {
    FieldList f = {
        {2, "model", &m.model, 1},
        {3, "firmwareRevision", &m.firmwareRevision, 1},
        {4, "outputQuantity", &m.outputQuantity, 1},
        {5, "options", m.options, kOptionCount},
        {6, "defaultProgram", &m.defaultProgram, 1},
        {7, "speedCompLeading", m.speedCompLeading, kMaxChannels},
        {7, "speedCompTrailing", m.speedCompTrailing, kMaxChannels},
        {8, "timedOutputDelay", m.timedOutputDelay, kMaxChannels},
        {9, "groupOffset", m.groupOffset, kMaxGroups},
        {10, "analogOffset", m.analogOffset, kMaxAnalogOutputs},
        {10, "analogHighRpm", m.analogHighRpm, kMaxAnalogOutputs},
        {11, "motionLowRpm", m.motionLowRpm, kMaxMotionLevels},
        {11, "motionHighRpm", m.motionHighRpm, kMaxMotionLevels},
        {12, "grayCodeSpeedComp", &m.grayCodeSpeedComp, 1},
        {14, "mapLimit", &m.mapLimit, 1},
        {15, "mappingCount", &m.mappingCount, 1},
        {16, "keyboardQuantity", &m.keyboardQuantity, 1},
        {17, "rotationDirection", m.rotationDirection, kMaxResolvers},
        {18, "scaleFactor", m.scaleFactor, kMaxResolvers},
        {19, "shaftOffset", m.shaftOffset, kMaxResolvers},
        {20, "analogQuantity", &m.analogQuantity, 1},
        {21, "resolverType", &m.resolverType, 1},
        {22, "programSelectMode", &m.programSelectMode, 1},
        {23, "grayOutputLevel", &m.grayOutputLevel, 1},
        {24, "timeBase", &m.timeBase, 1},
        {25, "terminationResistor", m.terminationResistor, 2},
        {26, "defaultDisplay", &m.defaultDisplay, 1},
        {27, "rateMultiplier", &m.rateMultiplier, 1},
        {27, "rateDivisor", &m.rateDivisor, 1},
        {27, "rateDecimalPoint", &m.rateDecimalPoint, 1},
        {27, "rateUnits", &m.rateUnits, 1},
        {28, "toggleRpm", &m.toggleRpm, 1},
        {29, "rpmUpdateRate", &m.rpmUpdateRate, 1},
        {30, "speedCompMode", &m.speedCompMode, 1},
        {31, "groupPositionDisplayMode", &m.groupPositionDisplayMode, 1},
        {32, "operatorId", &m.operatorId, 1},
        {33, "setupId", &m.setupId, 1},
        {34, "masterId", &m.masterId, 1},
        {35, "channelEnable", m.channelEnable, kMaxChannels},
        {36, "operatorEnableSetpoints", &m.operatorEnableSetpoints, 1},
        {37, "operatorEnableDefaultProgram", &m.operatorEnableDefaultProgram, 1},
        {38, "operatorEnableSpeedComp", &m.operatorEnableSpeedComp, 1},
        {39, "operatorEnableTimedOutputs", &m.operatorEnableTimedOutputs, 1},
        {40, "operatorEnableOffsets", &m.operatorEnableOffsets, 1},
        {41, "operatorEnableMotion", &m.operatorEnableMotion, 1},
        {42, "operatorEnableAnalog", &m.operatorEnableAnalog, 1},
        {43, "motionAnding", m.motionAnding, kMaxChannels},
        {44, "outputEnableAnding", m.outputEnableAnding, kMaxChannels},
        {45, "groupQuantity", &m.groupQuantity, 1},
        {46, "groupChannelCount", m.groupChannelCount, kMaxGroups},
        {46, "groupMode", m.groupMode, kMaxGroups},
        {47, "enableInputQuantity", &m.enableInputQuantity, 1},
        {48, "groupPositionMode", &m.groupPositionMode, 1},
        {50, "inputEnableAnding", m.inputEnableAnding, kMaxChannels},
        {51, "shiftRegisterCount", &m.shiftRegisterCount[0][0], kShiftPrograms * kShiftChannels},
    };
    return f;
}

struct Snapshot {
    ControllerImage image;
    std::vector<SetpointRecord> setpoints;
    int32_t setpointCount;
    std::vector<int32_t> blockAbsent;
};

Snapshot takeSnapshot() {
    Snapshot s;
    std::memcpy(&s.image, &image, sizeof image);
    s.setpointCount = setpointCount;
    s.setpoints.assign(setpoints.begin(), setpoints.begin() + std::min<size_t>(setpoints.size(), setpointCount));
    s.blockAbsent.assign(std::begin(blockAbsent), std::end(blockAbsent));
    return s;
}

// Whether the data file carries block n of this controller (the sim's saved
// state is a data file).
bool fileCarries(int n, const ControllerImage& m) {
    const int32_t model = m.model;
    switch (n) {
        case 12:
        case 23: return effectiveOptions[1] != 0;
        case 15: return commSettings.protocol == kModbus;
        case 18: return model >= 3300;
        case 20: return effectiveOptions[6] != 0 || configModel == 4344;
        case 24: return model < 3344 && m.outputQuantity < 24;
        case 26: return model < 4344;
        case 27:
        case 34:
        case 42: return modelHasRateSetup(model);
        case 30: return effectiveOptions[5] != 0;
        case 46: return modelHasGroups(model);
        case 50:
        case 51: return model == 4444;
        default: return true;
    }
}

void expectSame(const Snapshot& want, const Snapshot& got, const std::string& what, bool onlyFileBlocks = false) {
    const FieldList a = fieldsOf(want.image), b = fieldsOf(got.image);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int block = std::get<0>(a[i]);
        if (onlyFileBlocks && (!fileCarries(block, want.image) || want.blockAbsent[block] != 0)) continue;
        for (int k = 0; k < std::get<3>(a[i]); ++k)
            EXPECT_EQ(std::get<2>(a[i])[k], std::get<2>(b[i])[k])
                << what << ": " << std::get<1>(a[i]) << "[" << k << "]";
    }
    if (!onlyFileBlocks || fileCarries(15, want.image)) {
        for (int n = 0; n < want.image.mappingCount && n < kMaxMappings; ++n)
            EXPECT_EQ(want.image.mappings[n], got.image.mappings[n]) << what << ": mapping " << n;
    }
    EXPECT_EQ(want.setpointCount, got.setpointCount) << what;
    EXPECT_EQ(want.setpoints, got.setpoints) << what;
    for (int n = 0; n < kFunctionCount; ++n)
        if (!onlyFileBlocks || (fileCarries(n, want.image) && want.blockAbsent[n] == 0)) {
            EXPECT_EQ(want.blockAbsent[n], got.blockAbsent[n]) << what << ": blockAbsent[" << n << "]";
        }
}

// The unit configuration as the transfer procedures do it, for a controller
// without the Gray code option.
void unitConfiguration() {
    resetImage();
    releaseSetpoints();
    const FunctionHandler handler = commSettings.functionHandler;
    for (int n : {2, 3, 4, 5, 18}) handler(0, n);
    int values[8] = {};
    if (commSettings.protocol == kModbus)
        modbusTransaction(3, 262, 1, values);
    else
        tvxTransaction(COM_SPT_COUNT, "G", "W", values);
    setpointCount = values[0];
    const int32_t model = image.model;
    if (model >= 4354 && model <= 4356) {
        image.options[5] = image.options[6] = 1;
        if (model != 4354) image.options[4] = 1;
    }
    if (model == 4344) image.options[6] = 0;
    std::copy(std::begin(image.options), std::end(image.options), effectiveOptions);
    configModel = model;
    firstChannel = 0;
    lastChannel = image.outputQuantity - 1;
    if (model > 3343) {
        handler(0, 20);
        if (model != 4356) lastChannel -= image.analogQuantity;
    } else if (effectiveOptions[6]) {
        lastChannel = image.outputQuantity - 2;
    }
    allocateSetpoints(setpointCount);
}

void readAll() {
    unitConfiguration();
    for (int n = 6; n < kFunctionCount; ++n)
        if (blockAbsent[n] != 0) commSettings.functionHandler(0, n);
}

void writeAll() {
    const FunctionHandler handler = commSettings.functionHandler;
    handler(1, 0);
    for (int n = 2; n < kFunctionCount; ++n)
        if (blockAbsent[n] == 0) handler(1, n);
    handler(1, 1);
}

// Changes free-valued settings so that a write that does not arrive shows.
void changeImage() {
    auto bump = [](int32_t& v) { v = v + 1; };
    bump(image.defaultProgram);
    int32_t first = 0, last = -1;
    if (clampedChannelRange(first, last))
        for (int ch = first; ch <= last; ++ch) {
            bump(image.timedOutputDelay[ch]);
            image.speedCompLeading[ch] = 100 + ch;
            image.speedCompTrailing[ch] = 200 + ch;
        }
    for (int g = 0; g < clampCount(image.groupQuantity, kMaxGroups); ++g) image.groupOffset[g] = 10 * g + 7;
    for (int a = 0; a < clampCount(image.analogQuantity, kMaxAnalogOutputs); ++a) bump(image.analogOffset[a]);
    bump(image.motionLowRpm[0]);
    bump(image.operatorId);
    bump(image.setupId);
    bump(image.toggleRpm);
    image.operatorEnableOffsets ^= 1;
    for (int32_t i = 0; i < setpointCount && static_cast<size_t>(i) < setpoints.size(); ++i) setpoints[i].off += 1;
    for (int n = 0; n < image.mappingCount && n < kMaxMappings; ++n) bump(image.mappings[n].register_);
    if (image.model == 4444 && commSettings.protocol == kTvxStandard) image.shiftRegisterCount[1][1] = 6;
}

// Shift register counts are held one below the controller's value once they
// have been through a data file, and sent plus one.
void shiftCountsAsFromAFile() {
    for (auto& program : image.shiftRegisterCount)
        for (int32_t& count : program)
            if (count != 0) count -= 1;
}

std::string sentText;
void recordSent(bool sent, const uint8_t* data, std::size_t length) {
    if (sent) sentText.append(reinterpret_cast<const char*>(data), length);
}

class SimEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        commSettings = CommunicationSettings{};
        serialPort.setDeviceFactory(nullptr);
        sentText.clear();
        setLineObserver(recordSent);
    }
    void TearDown() override {
        setLineObserver(nullptr);
        serialPort.close();
        releaseSetpoints();
        commSettings = CommunicationSettings{};
    }

    // Opens the line and installs the handler without the probe.
    bool attach(const Sim& sim, Protocol protocol) {
        serialPort.close();
        commSettings.protocol = protocol;
        commSettings.functionHandler = protocol == kModbus ? modbusFunctionHandler : tvxFunctionHandler;
        return serialPort.openPath(sim.devicePath, protocol == kModbus ? kFormat7N2 : kFormat8N1, 9600) == 0;
    }

    bool connect(const Sim& sim, Protocol protocol) {
        serialPort.close();
        commSettings.devicePath = sim.devicePath;
        commSettings.protocol = protocol;
        return connectToController() == 0;
    }

    // Read, change, write; then read again from the simulator and from a
    // second simulator started on the state the first one saved.
    void roundTrip(int model, Protocol protocol, std::vector<std::string> variant = {}) {
        SCOPED_TRACE("model " + std::to_string(model) + (protocol == kModbus ? " MODBUS" : " TVX"));
        TempDir dir;
        const std::string saved = dir.file("state.dat");
        std::vector<std::string> args = {"--model", std::to_string(model), "--save", saved, "--reset-delay", "0"};
        args.insert(args.end(), variant.begin(), variant.end());
        Sim sim(args);
        ASSERT_FALSE(sim.devicePath.empty());
        ASSERT_TRUE(attach(sim, protocol));

        readAll();
        EXPECT_EQ(image.model, model);
        for (int n : {6, 7, 9, 11, 32, 45, 49}) EXPECT_EQ(blockAbsent[n], 0) << "block " << n;
        changeImage();
        const Snapshot written = takeSnapshot();
        shiftCountsAsFromAFile();
        writeAll();

        readAll();
        expectSame(written, takeSnapshot(), "read back");
        serialPort.close();

        std::vector<std::string> reload = {"--load", saved, "--model", std::to_string(model), "--reset-delay", "0"};
        reload.insert(reload.end(), variant.begin(), variant.end());
        Sim reloaded(reload);
        ASSERT_TRUE(attach(reloaded, protocol));
        readAll();
        expectSame(written, takeSnapshot(), "saved state", true);
    }

    CaptureConsole console;
};

TEST_F(SimEndToEnd, EveryBlockRoundTripsOverModbus) {
    for (int model : {3300, 4344, 4444, 4544, 4356}) roundTrip(model, kModbus);
}

TEST_F(SimEndToEnd, EveryBlockRoundTripsOverTvx) {
    for (int model : {3300, 4344, 4444, 4544, 4356}) roundTrip(model, kTvxStandard);
    // Firmware with the wide setpoint commands gets the wide ones.
    EXPECT_NE(sentText.find("!013E"), std::string::npos);
    EXPECT_EQ(sentText.find("!0125"), std::string::npos);
}

TEST_F(SimEndToEnd, FirmwareVariantsUseTheFallbacks) {
    roundTrip(4344, kTvxStandard, {"--no-pgm-bank", "--narrow-setpoints", "--rate-setup-2", "--indexed-motion-limits"});
    // Default program as one word, narrow setpoints, the four-field rate
    // setup and the indexed motion levels went out.
    bool wordProgram = false;
    for (std::size_t at = sentText.find("!0118P"); at != std::string::npos; at = sentText.find("!0118P", at + 1))
        wordProgram |= sentText.find('\r', at) - at == 12;  // "P" and four digits
    EXPECT_TRUE(wordProgram);
    EXPECT_NE(sentText.find("!0125"), std::string::npos);
    EXPECT_NE(sentText.find("!0160P"), std::string::npos);
    EXPECT_NE(sentText.find("!0148P"), std::string::npos);
}

TEST_F(SimEndToEnd, AutoDetectFindsEachProtocol) {
    {
        Sim sim({"--protocol", "modbus"});
        EXPECT_TRUE(connect(sim, kAutoDetect));
        EXPECT_EQ(commSettings.protocol, kModbus);
        EXPECT_EQ(commSettings.functionHandler, &modbusFunctionHandler);
        EXPECT_EQ(console.output, "Auto Detect: trying MODBUS...\nSuccess: MODBUS selected.\n");
    }
    {
        console.output.clear();
        Sim sim({"--protocol", "tvx"});
        EXPECT_TRUE(connect(sim, kAutoDetect));
        EXPECT_EQ(commSettings.protocol, kTvxStandard);
        EXPECT_EQ(commSettings.functionHandler, &tvxFunctionHandler);
        EXPECT_EQ(console.output,
                  "Auto Detect: trying MODBUS...\nNo response: MODBUS.\nNo response: trying TVX Standard...\n"
                  "Success: TVX Standard selected.\n");
        EXPECT_EQ(serialPort.portActive, 1);

        // A second connect while the line is open sends nothing.
        const std::size_t before = sentText.size();
        console.output.clear();
        EXPECT_EQ(connectToController(), 0);
        EXPECT_EQ(sentText.size(), before);
        EXPECT_EQ(console.output, "Error:  Communications port already active.  Cannot continue.");
    }
}

TEST_F(SimEndToEnd, AutoDetectWithASilentController) {
    Sim sim({"--unit", "200"});  // answers nobody at unit 1
    sentText.clear();
    EXPECT_FALSE(connect(sim, kAutoDetect));
    EXPECT_EQ(console.output,
              "Auto Detect: trying MODBUS...\nNo response: MODBUS.\nNo response: trying TVX Standard...\n"
              "No response: TVX Standard.\n");
    // The second attempt of each is a request whose reply cannot be taken for
    // the first one's, should that come late.
    EXPECT_EQ(sentText, ":010300000001FB\r\n:0103012B0003CD\r\n!01003F\r!01013E\r");
    EXPECT_EQ(commSettings.protocol, kAutoDetect);
    EXPECT_EQ(commSettings.functionHandler, &noopFunctionHandler);
    EXPECT_EQ(serialPort.portActive, 0);
}

}  // namespace

#endif  // LINKORA_SIM_BIN
