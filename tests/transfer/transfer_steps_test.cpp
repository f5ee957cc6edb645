// The shared transfer steps in process: sibling command, map-version check,
// unit configuration, the line watch and the verification's comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>

#include "common/settings.h"
#include "image/controller_image.h"
#include "link/modbus.h"
#include "link/tvx.h"
#include "transfer/line_watch.h"
#include "transfer/transfer_fixture.h"
#include "transfer/unit_configuration.h"
#include "transfer/verification.h"

using transfer_test::modbusFrame;
using transfer_test::ScriptedConsole;
using transfer_test::ScriptedLine;

namespace {

void setFileName(const char* name) {
    std::strncpy(dataFileName, name, kDataFileNameSize - 1);
    dataFileName[kDataFileNameSize - 1] = '\0';
}

struct SettingsReset {
    SettingsReset() { reset(); }
    ~SettingsReset() { reset(); }
    static void reset() {
        commSettings = CommunicationSettings{};
        transferOptions = TransferOptions{};
        setFileName("TEST.DAT");
        mapVersion = 100;
    }
};

// Answers each complete MODBUS request with the next scripted reply; an
// empty reply means silence.
void scriptReplies(ScriptedLine& line, std::deque<std::string> replies) {
    auto pending = std::make_shared<std::deque<std::string>>(std::move(replies));
    line.state->onSend = [pending](testing_support::ScriptedLineDevice::State& s) {
        if (s.sent.empty() || s.sent.back() != '\n' || pending->empty()) return;
        const std::string reply = pending->front();
        pending->pop_front();
        s.incoming.insert(s.incoming.end(), reply.begin(), reply.end());
    };
}

}  // namespace

TEST(SiblingCommand, UploadAndDownloadForms) {
    SettingsReset settings;
    mapVersion = 101;
    setFileName("PLANT.DAT");
    std::string command;
    buildSiblingCommand(command, 1);
    EXPECT_EQ(command, "LKRA101 U 1 COM1 9600 PLANT.DAT ");

    commSettings.unitAddress = 7;
    commSettings.comPort = 2;
    commSettings.baudRate = 19200;
    transferOptions.setDefaults = true;
    transferOptions.verifyDownload = true;
    buildSiblingCommand(command, 0);
    EXPECT_EQ(command, "LKRA101 D 7 COM3 19200 PLANT.DAT Y N Y ");

    mapVersion = 5;
    commSettings.devicePath = "/dev/ttyUSB0";
    buildSiblingCommand(command, 1);
    EXPECT_EQ(command, "LKRA  5 U 7 /dev/ttyUSB0 19200 PLANT.DAT ");
}

TEST(SiblingCommand, FileNameStaysOneArgument) {
    SettingsReset settings;
    mapVersion = 102;
    setFileName("a b; touch x");
    const std::vector<std::string> args = buildSiblingArguments(0);
    const std::vector<std::string> expected{"LKRA102", "D", "1", "COM1", "9600", "a b; touch x", "N", "N", "N"};
    EXPECT_EQ(args, expected);
}

TEST(MapVersion, AbsentZeroHundredAndOther) {
    SettingsReset settings;
    ScriptedConsole console;
    commSettings.protocol = kModbus;
    const std::string exception = ":0183027A\r\n";
    struct Case {
        std::string secondReply;
        int result;
        int version;
    } cases[] = {
        {exception, 0, 100},
        {modbusFrame({1, 3, 2, 0, 0}), 0, 100},
        {modbusFrame({1, 3, 2, 0, 100}), 0, 100},
        {modbusFrame({1, 3, 2, 0, 101}), 1, 101},
        {modbusFrame({1, 3, 2, 0x01, 0x2C}), 1, 300},
    };
    for (const Case& c : cases) {
        ScriptedLine line;
        scriptReplies(line, {exception, c.secondReply});
        EXPECT_EQ(checkMapVersion(), c.result) << c.secondReply;
        EXPECT_EQ(mapVersion, c.version) << c.secondReply;
        // Both requests read register 9999 (address 9998 = 0x270E).
        EXPECT_NE(line.state->sent.find(":0103270E0001"), std::string::npos);
    }
}

namespace {

// The controller behind the fake handler.
struct FakeUnit {
    int32_t model = 4344;
    int32_t outputs = 16;
    std::vector<int> options;
    int32_t analogQuantity = 2;
};
FakeUnit fakeUnit;
std::vector<int> handlerCalls;

BlockResult fakeHandler(int mode, int functionNumber) {
    handlerCalls.push_back(mode * 100 + functionNumber);
    if (mode != 0) return BlockResult{};
    switch (functionNumber) {
        case 2: image.model = fakeUnit.model; break;
        case 4: image.outputQuantity = fakeUnit.outputs; break;
        case 5:
            for (int o : fakeUnit.options) image.options[o] = 1;
            break;
        case 20: image.analogQuantity = fakeUnit.analogQuantity; break;
        default: break;
    }
    blockAbsent[functionNumber] = 0;
    return BlockResult{};
}

}  // namespace

TEST(UnitConfiguration, ChannelRangeByModelAndOptions) {
    SettingsReset settings;
    ScriptedConsole console;
    commSettings.protocol = kModbus;
    commSettings.functionHandler = fakeHandler;
    struct Case {
        const char* name;
        FakeUnit unit;
        int forDownload;
        int first, last, outputQuantity;
        bool readsAnalogQuantity;
    } cases[] = {
        {"ten-bit gray, large, upload", {4444, 16, {1, 19}, 2}, 0, 10, 13, 16, true},
        {"ten-bit gray, large, download", {4444, 16, {1, 19}, 2}, 1, 10, 15, 16, false},
        {"gray, large, upload", {4544, 24, {1}, 1}, 0, 8, 22, 24, true},
        {"gray and analog, small", {3300, 16, {1, 6}, 2}, 0, 0, 14, 24, false},
        {"gray only, small", {3300, 16, {1}, 2}, 1, 0, 15, 24, false},
        {"analog only, small", {3343, 16, {6}, 2}, 0, 0, 14, 16, false},
        {"plain small", {3300, 8, {}, 2}, 0, 0, 7, 8, false},
        {"4356 keeps its analog channels", {4356, 16, {}, 2}, 0, 0, 15, 16, true},
        {"large without options, download", {4344, 16, {}, 2}, 1, 0, 15, 16, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetImage();
        fakeUnit = c.unit;
        handlerCalls.clear();
        ScriptedLine line;
        scriptReplies(line, {modbusFrame({1, 3, 2, 0x01, 0x2D})});
        queryUnitConfiguration(c.forDownload);
        EXPECT_EQ(firstChannel, c.first);
        EXPECT_EQ(lastChannel, c.last);
        EXPECT_EQ(image.outputQuantity, c.outputQuantity);
        EXPECT_EQ(configModel, c.unit.model);
        EXPECT_EQ(setpointCount, 301);
        const std::vector<int> configurationReads{2, 3, 4, 5, 18};
        ASSERT_GE(handlerCalls.size(), 5u);
        EXPECT_EQ(std::vector<int>(handlerCalls.begin(), handlerCalls.begin() + 5), configurationReads);
        EXPECT_EQ(handlerCalls.size() == 6 && handlerCalls[5] == 20, c.readsAnalogQuantity);
    }
}

TEST(UnitConfiguration, ModelAdjustsOptions) {
    SettingsReset settings;
    ScriptedConsole console;
    commSettings.protocol = kModbus;
    commSettings.functionHandler = fakeHandler;
    struct Case {
        int32_t model;
        std::vector<int> reported;
        std::map<int, int> expected;
    } cases[] = {
        {4354, {}, {{4, 0}, {5, 1}, {6, 1}}},
        {4355, {}, {{4, 1}, {5, 1}, {6, 1}}},
        {4356, {2}, {{2, 1}, {4, 1}, {5, 1}, {6, 1}}},
        {4344, {5, 6}, {{5, 1}, {6, 0}}},
        {4444, {6}, {{6, 1}}},
    };
    for (const Case& c : cases) {
        resetImage();
        fakeUnit = FakeUnit{c.model, 16, c.reported, 0};
        ScriptedLine line;
        scriptReplies(line, {modbusFrame({1, 3, 2, 0, 0})});
        queryUnitConfiguration(1);
        for (const auto& [option, value] : c.expected) {
            EXPECT_EQ(effectiveOptions[option], value) << "model " << c.model << " option " << option;
        }
        EXPECT_EQ(setpointCount, 0);
    }
}

TEST(LineWatch, CountsSilenceAndTracesFrames) {
    SettingsReset settings;
    ScriptedConsole console;
    testing_support::TempDir dir;
    const std::string trace = dir.file("trace.log");
    linewatch::setTracePath(trace);
    ScriptedLine line;
    linewatch::begin();
    const linewatch::SilenceMark mark;

    // A MODBUS reply that fails its LRC counts like no answer.
    line.queue(":0103020001FA\r\n");
    int values[1] = {0};
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, -1);
    EXPECT_EQ(mark.silentRequests(), 1);

    // A TVX request that is answered, even if negatively, is no failure.
    line.queue("N039D\r");
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values).code, COM_BAD_COMMAND);
    EXPECT_EQ(mark.silentRequests(), 1);
    EXPECT_EQ(linewatch::requestsSent(), 2);
    linewatch::end();
    linewatch::setTracePath("");

    const std::string text = testing_support::readFile(trace);
    EXPECT_NE(text.find(" TX 3A 30 31 30 33"), std::string::npos) << text;
    EXPECT_NE(text.find("\":010300000001FB\\r\\n\""), std::string::npos) << text;
    EXPECT_NE(text.find(" TX 21 30 31 30 30 33 46 0D  \"!01003F\\r\""), std::string::npos) << text;
    EXPECT_NE(text.find(" RX 4E 30 33 39 44 0D  \"N039D\\r\""), std::string::npos) << text;
    // A header line (time, version, command line) and the four frames.
    EXPECT_EQ(text.rfind("# ", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(" linkora ") + LINKORA_VERSION + ": interactive\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;
}

namespace {

std::unique_ptr<SentConfiguration> sampleSent() {
    resetImage();
    image.model = 4344;
    image.outputQuantity = 16;
    image.defaultProgram = 3;
    image.speedCompLeading[2] = -5;
    image.speedCompTrailing[2] = 7;
    image.timedOutputDelay[4] = 100;
    image.mappingCount = 2;
    image.mappings[0] = {1, 400, 0, 0, 0};
    image.mappings[1] = {2, 401, 1, 2, 3};
    image.groupQuantity = 2;
    image.groupOffset[1] = 90;
    setpoints = {{0, 0, 10, 20}, {1, 2, 30, 40}, {1, 3, 50, 60}};
    setpointCount = 3;
    effectiveOptions[5] = 1;
    firstChannel = 0;
    lastChannel = 15;
    bool sent[kFunctionCount] = {};
    for (int n : {6, 7, 8, 9, 15, 49}) sent[n] = true;
    return captureSentConfiguration(sent);
}

}  // namespace

TEST(Verification, IdenticalReadBackPasses) {
    ScriptedConsole console;
    auto sent = sampleSent();
    // The controller reports words: -5 comes back as 65531, and its
    // setpoints in an order of its own.
    image.speedCompLeading[2] = 65531;
    setpoints = {{1, 3, 50, 60}, {0, 0, 10, 20}, {1, 2, 30, 40}};
    EXPECT_EQ(compareWithSent(*sent, {}), 0) << console.output;
    EXPECT_EQ(console.output, "");
    releaseSetpoints();
}

TEST(Verification, EveryDifferenceIsReported) {
    ScriptedConsole console;
    auto sent = sampleSent();
    image.defaultProgram = 4;
    image.speedCompLeading[2] = 0;
    image.speedCompTrailing[2] = 8;
    image.timedOutputDelay[4] = 99;
    image.mappingCount = 1;
    image.groupOffset[1] = 0;
    setpoints = {{0, 0, 10, 20}, {1, 2, 31, 40}};
    setpointCount = 2;
    // Each difference shows both values and the file's line that set it.
    std::snprintf(dataFileName, sizeof dataFileName, "%s", "T.DAT");
    sent->lineOfKey = {{{6}, 5}, {{7, 3}, 6}, {{9, 2}, 12}};
    sent->setpointLines = {52, 53, 54};
    const int differences = compareWithSent(*sent, {});
    EXPECT_EQ(console.output,
              "Default programs are different!\n"
              "    file 4, controller 5 (T.DAT:5)\n"
              "Speed comp (leading) different for chn 3!\n"
              "    file -5, controller 0 (T.DAT:6)\n"
              "Time delay different for chn 5!\n"
              "    file 100, controller 99\n"
              "Speed comp (trailing) different for chn 3!\n"
              "    file 7, controller 8 (T.DAT:6)\n"
              "Group offset different for group 2!\n"
              "    file 90, controller 0 (T.DAT:12)\n"
              "Mapping quantity different!\n"
              "    file 2, controller 1\n"
              "Pulse quantity different!\n"
              "    file 3, controller 2\n"
              "Pulse different in program 2 channel 3!\n"
              "    file 30,40, controller 31,40 (T.DAT:53)\n"
              "Pulse different in program 2 channel 4!\n"
              "    file 50,60, controller none (T.DAT:54)\n");
    EXPECT_EQ(differences, 9);
    releaseSetpoints();
}

TEST(Verification, UnreadableBlocksCountAndAreNotCompared) {
    ScriptedConsole console;
    auto sent = sampleSent();
    image.defaultProgram = 0;  // block 6 could not be read back at all
    setpoints = sent->setpoints;
    image.speedCompLeading[2] = -5;
    image.speedCompTrailing[2] = 7;
    image.timedOutputDelay[4] = 100;
    image.mappingCount = 2;
    image.mappings[0] = {1, 400, 0, 0, 0};
    image.mappings[1] = {2, 401, 1, 2, 3};
    image.groupOffset[1] = 90;
    EXPECT_EQ(compareWithSent(*sent, {6}), 1);
    EXPECT_EQ(console.output, "Blocks that could not be read back: 6\n");
    releaseSetpoints();
}
