// Unit configuration, map-version check and the sibling hand-over.
#include "transfer/unit_configuration.h"

#include <cstdio>

#include "common/console_io.h"
#include "common/settings.h"
#include "handlers/exchange_rules.h"
#include "image/controller_image.h"
#include "link/exchange_health.h"
#include "link/modbus.h"
#include "link/tvx.h"
#include "platform/process.h"

int mapVersion = 100;
int handOverStatus = -1;

namespace {

constexpr int kSetpointCountRegister = 262;
constexpr int kMapVersionRegister = 9999;
constexpr int kModbusReadHolding = 3;

// Adds a step that failed (a block, or -1 for the setpoint count) to `into`.
void noteFailed(UnitConfigurationResult& into, int step, const BlockResult& result, bool gone) {
    into.failed.push_back(step);
    into.block.done = false;
    into.block.silent = into.block.silent || result.silent;
    into.block.spoiled = into.block.spoiled || result.spoiled;
    into.block.gone = into.block.gone || gone;
}

void readBlock(UnitConfigurationResult& into, int functionNumber) {
    const BlockResult result = runBlock(0, functionNumber);
    if (!result.done) noteFailed(into, functionNumber, result, result.gone);
}

// The analog outputs of a large model come off the channel range.
void analogQuantityStep(UnitConfigurationResult& into) {
    readBlock(into, 20);
    if (modelTakesAnalogOffChannels(image.model)) lastChannel -= image.analogQuantity;
}

// The setpoint count read, and how the read went.
BlockResult countSetpoints() {
    int values[8] = {0};
    BlockFaults faults;
    const ExchangeResult result = repeatExchange(faults, [&] {
        if (commSettings.protocol == kTvxStandard) return tvxTransaction(COM_SPT_COUNT, "G", "W", values);
        return modbusTransaction(kModbusReadHolding, kSetpointCountRegister, 1, values);
    });
    // Firmware without the count holds no setpoints to read; any other
    // refusal leaves the count unknown.
    if (result.refusedByController() && !result.lacking) faults.broken = true;
    setpointCount = values[0] < 0 ? 0 : values[0];
    return blockResult(faults);
}

}  // namespace

bool readSetpointCount() {
    const BlockResult read = countSetpoints();
    return !read.silent && !read.spoiled;
}

UnitConfigurationResult queryUnitConfiguration(int forDownload) {
    UnitConfigurationResult result;
    static const int kConfigurationBlocks[] = {2, 3, 4, 5, 18};
    for (int functionNumber : kConfigurationBlocks) readBlock(result, functionNumber);
    const BlockResult count = countSetpoints();
    if (count.silent || count.spoiled) noteFailed(result, -1, count, lineHalted());
    deriveWorkingValues();
    if (!modelIsSmall(image.model) && !forDownload) analogQuantityStep(result);
    return result;
}

int checkMapVersion() {
    int values[1] = {0};
    modbusTransaction(kModbusReadHolding, kMapVersionRegister, 1, values);
    values[0] = 0;
    const int result = modbusTransaction(kModbusReadHolding, kMapVersionRegister, 1, values).code;
    if (result != 0 || values[0] == 0) {
        mapVersion = 100;
        return 0;
    }
    mapVersion = values[0];
    return mapVersion != 100 ? 1 : 0;
}

namespace {

std::string portArgument() {
    if (!commSettings.devicePath.empty()) return commSettings.devicePath;
    return comPortName(commSettings.comPort);
}

const char* yesNo(bool flag) { return flag ? "Y" : "N"; }

}  // namespace

std::vector<std::string> buildSiblingArguments(int forUpload) {
    char program[32];
    std::snprintf(program, sizeof program, "LKRA%d", mapVersion);
    std::vector<std::string> arguments{program,
                                       forUpload ? "U" : "D",
                                       std::to_string(commSettings.unitAddress),
                                       portArgument(),
                                       std::to_string(commSettings.baudRate),
                                       dataFileName};
    if (!forUpload) {
        arguments.emplace_back(yesNo(transferOptions.setDefaults));
        arguments.emplace_back(yesNo(transferOptions.keepOffsets));
        arguments.emplace_back(yesNo(transferOptions.verifyDownload));
    }
    return arguments;
}

void buildSiblingCommand(std::string& command, int forUpload) {
    const std::vector<std::string> arguments = buildSiblingArguments(forUpload);
    char head[32];
    std::snprintf(head, sizeof head, "LKRA%3d ", mapVersion);
    command = head;
    for (std::size_t i = 1; i < arguments.size(); ++i) command += arguments[i] + " ";
}

int handOverToSibling(int forUpload) {
    std::string command;
    buildSiblingCommand(command, forUpload);
    conPuts("Executing different version of program...\n");
    conPrintf("%s\n", command.c_str());
    std::vector<std::string> arguments = buildSiblingArguments(forUpload);
    const std::string program = arguments.front();
    arguments.erase(arguments.begin());
    const int status = platform::runProgram(program, arguments);
    if (status < 0 || status == 127) {
        conPrintf("Could not run the program %s.\n", program.c_str());
        handOverStatus = 1;
    } else {
        handOverStatus = status;
    }
    return 1;
}
