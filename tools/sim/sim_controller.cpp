// The simulated controller's configuration: the built-in controller, loading
// and saving it as a data file, and the controller-only state.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "image/data_file.h"
#include "platform/files.h"
#include "sim.h"

namespace sim {

SimState state;

int channelCount() { return clampCount(image.outputQuantity, kMaxChannels); }

void setWorkingValues() {
    std::copy(std::begin(image.options), std::end(image.options), std::begin(effectiveOptions));
    firstChannel = 0;
    lastChannel = channelCount() - 1;
    configModel = image.model;
}

void resetSequences() {
    std::fill(std::begin(state.cursors), std::end(state.cursors), 0);
    state.setpointReadCursor = 0;
    state.dummyPending = false;
    state.stagedSetpoint = false;
    state.selectedSlot = 0;
    state.loading = false;
}

void slotsFromImage() {
    for (MappingRecord& slot : state.slots) slot = MappingRecord{};
    const int count = clampCount(image.mappingCount, kMaxMappings);
    for (int i = 0; i < count; ++i) state.slots[i] = image.mappings[i];
}

void imageFromSlots() {
    int count = 0;
    for (const MappingRecord& slot : state.slots) {
        if (slot.type != 0) image.mappings[count++] = slot;
    }
    for (int i = count; i < kMaxMappings; ++i) image.mappings[i] = MappingRecord{};
    image.mappingCount = count;
}

void clearSetpoints() {
    setpoints.clear();
    setpointCount = 0;
}

bool appendSetpoint(const SetpointRecord& record) {
    if (setpointCount < 0) setpointCount = 0;
    if (setpointCount >= kMaxSetpoints) return false;
    if (!storeSetpoint(setpointCount, record)) return false;
    ++setpointCount;
    return true;
}

int32_t imageChecksum() {
    uint32_t sum = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&image);
    for (size_t i = 0; i < sizeof image; ++i) sum += bytes[i];
    for (int32_t i = 0; i < setpointCount && static_cast<size_t>(i) < setpoints.size(); ++i) {
        const SetpointRecord& r = setpoints[static_cast<size_t>(i)];
        sum += static_cast<uint32_t>(r.program + r.channel + r.on + r.off);
    }
    return static_cast<int32_t>(sum & 0xFFFF);
}

// ---- the built-in controller

void loadDefaultController(int model) {
    resetImage();
    clearSetpoints();
    ControllerImage& m = image;
    m.model = model != 0 ? model : 4344;
    m.firmwareRevision = 312;
    m.outputQuantity = 16;
    m.options[5] = 1;  // leading/trailing speed compensation
    m.options[6] = 1;  // analog output
    m.defaultProgram = 2;
    m.speedCompLeading[0] = 12;
    m.speedCompTrailing[0] = 8;
    m.speedCompLeading[4] = 65536 - 5;  // -5 as the controller holds it
    m.speedCompTrailing[4] = 3;
    m.speedCompTrailing[9] = 40;
    m.timedOutputDelay[3] = 150;
    m.timedOutputDelay[10] = 25;
    m.groupOffset[0] = 10;
    m.groupOffset[1] = 120;
    m.groupOffset[2] = 270;
    m.analogOffset[0] = 100;
    m.analogHighRpm[0] = 2000;
    m.motionLowRpm[0] = 10;
    m.motionHighRpm[0] = 3000;
    m.motionLowRpm[1] = 20;
    m.motionHighRpm[1] = 2500;
    m.grayCodeSpeedComp = 5;
    m.mapLimit = 8;
    m.mappingCount = 3;
    m.mappings[0] = {1, 1001, 0, 0, 0};
    m.mappings[1] = {2, 1002, 1, 2, 3};
    m.mappings[2] = {3, 1003, 4, 0, 0};
    m.keyboardQuantity = 1;
    m.rotationDirection[0] = 1;
    m.rotationDirection[1] = 0;
    m.scaleFactor[0] = 360;
    m.scaleFactor[1] = 720;
    m.shaftOffset[0] = 45;
    m.shaftOffset[1] = 90;
    m.analogQuantity = 1;
    m.resolverType = 0;
    m.programSelectMode = 1;
    m.grayOutputLevel = 1;
    m.timeBase = 1;
    m.terminationResistor[0] = 1;
    m.terminationResistor[1] = 0;
    m.defaultDisplay = 2;
    m.rateMultiplier = 250;
    m.rateDivisor = 1;
    m.rateDecimalPoint = 2;
    m.rateUnits = 1;
    m.toggleRpm = 20;
    m.rpmUpdateRate = 1;
    m.speedCompMode = 1;
    m.groupPositionDisplayMode = 1;
    m.operatorId = 1234;
    m.setupId = 5678;
    m.masterId = 4321;
    for (int ch = 0; ch < 16; ++ch) m.channelEnable[ch] = ch % 5 == 4 ? 0 : 1;
    m.operatorEnableSetpoints = 1;
    m.operatorEnableDefaultProgram = 0;
    m.operatorEnableSpeedComp = 1;
    m.operatorEnableTimedOutputs = 0;
    m.operatorEnableOffsets = 1;
    m.operatorEnableMotion = 0;
    m.operatorEnableAnalog = 1;
    m.motionAnding[2] = 1;
    m.motionAnding[7] = 2;
    m.outputEnableAnding[5] = 1;
    m.outputEnableAnding[6] = 1;
    m.groupQuantity = 3;
    m.groupChannelCount[0] = 6;
    m.groupChannelCount[1] = 5;
    m.groupChannelCount[2] = 5;
    m.groupMode[0] = 0;
    m.groupMode[1] = 1;
    m.groupMode[2] = 2;
    m.enableInputQuantity = 2;
    m.groupPositionMode = 1;
    if (modelHasShiftCounts(m.model)) {
        m.inputEnableAnding[1] = 3;
        m.inputEnableAnding[4] = 8;
        m.shiftRegisterCount[0][2] = 4;
        m.shiftRegisterCount[3][5] = 17;
        m.shiftRegisterCount[47][0] = 1;
    }
    const SetpointRecord records[] = {
        {0, 0, 10, 90}, {0, 1, 100, 200}, {0, 3, 350, 20}, {1, 0, 45, 135}, {1, 7, 0, 180}, {5, 15, 270, 300},
    };
    for (const SetpointRecord& r : records) appendSetpoint(r);
    slotsFromImage();
    setWorkingValues();
}

// ---- data file

namespace {

// The model named by the file's first value line with function number 2:
// a number, or one of the designations KR54..KR56. 0 when there is none.
int modelFromFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    char line[512];
    int model = 0;
    while (model == 0 && std::fgets(line, sizeof line, file) != nullptr) {
        if (!std::isdigit(static_cast<unsigned char>(line[0]))) continue;
        char* end = nullptr;
        const long fn = std::strtol(line, &end, 0);
        if (fn != 2 || *end != ':') continue;
        const char* word = end + 1;
        while (*word == ' ' || *word == '\t') ++word;
        static const struct {
            const char* name;
            int model;
        } kDesignations[] = {{"KR54", 4354}, {"KR55", 4355}, {"KR56", 4356}};
        for (const auto& d : kDesignations) {
            const size_t n = std::strlen(d.name);
            if (std::strncmp(word, d.name, n) == 0 && !std::isalnum(static_cast<unsigned char>(word[n])))
                model = d.model;
        }
        if (model == 0) {
            const long value = std::strtol(word, &end, 0);
            model = end != word && value > 0 && value <= 65535 ? static_cast<int>(value) : -1;
        }
    }
    std::fclose(file);
    return model < 0 ? 0 : model;
}

// Marks what a controller holds as present, so that the writer writes it.
void markBlocksForSaving() {
    for (int n = 0; n < kFunctionCount; ++n) blockAbsent[n] = 0;
    blockAbsent[0] = blockAbsent[1] = blockAbsent[13] = 1;
    if (!modelHasShiftCounts(image.model)) blockAbsent[50] = blockAbsent[51] = 1;
}

// The file's shift register counts are the controller's; the reader stores
// them less one (the convention of the client's image). Entries the file did
// not mention are told apart by a value no line can produce.
constexpr int32_t kUntouched = INT32_MIN;

}  // namespace

bool loadControllerFile(const std::string& path, int model, std::string& error) {
    const int fileModel = modelFromFile(path);
    if (model == 0) model = fileModel;
    if (model == 0) {
        error = "no model line in " + path + " (give --model)";
        return false;
    }
    resetImage();
    clearSetpoints();
    image.model = model;
    configModel = model;
    std::fill(std::begin(effectiveOptions), std::end(effectiveOptions), 0);
    // Everything the file holds is taken, whatever the channel range.
    firstChannel = 0;
    lastChannel = kMaxChannels - 1;
    for (auto& program : image.shiftRegisterCount) std::fill(std::begin(program), std::end(program), kUntouched);

    dataFile = std::fopen(path.c_str(), "rb");
    if (dataFile == nullptr) {
        error = "cannot open " + path;
        return false;
    }
    const int count = countSetpointLines();
    allocateSetpoints(count);
    setpointCount = 0;
    readDataFile(LineJudging::TakeAll);
    if (dataFile != nullptr) {
        std::fclose(dataFile);
        dataFile = nullptr;
    }

    for (auto& program : image.shiftRegisterCount) {
        for (int32_t& entry : program) entry = entry == kUntouched ? 0 : entry + 1;
    }
    image.model = model;
    image.mappingCount = clampCount(image.mappingCount, kMaxMappings);
    setpointCount = std::clamp<int32_t>(setpointCount, 0, kMaxSetpoints);
    setpoints.resize(static_cast<size_t>(setpointCount));
    slotsFromImage();
    setWorkingValues();
    return true;
}

bool saveControllerFile(const std::string& path, std::string& error) {
    imageFromSlots();
    std::string tempPath;
    std::FILE* file = platform::createTempFileBeside(path, tempPath);
    if (file == nullptr) {
        error = "cannot create a file beside " + path;
        return false;
    }
    int32_t savedAbsent[kFunctionCount];
    std::copy(std::begin(blockAbsent), std::end(blockAbsent), savedAbsent);
    markBlocksForSaving();
    setWorkingValues();
    // Every channel the image holds, not only the client's range.
    lastChannel = kMaxChannels - 1;
    if (static_cast<size_t>(setpointCount) > setpoints.size()) setpoints.resize(static_cast<size_t>(setpointCount));

    dataFile = file;
    writeDataFile();
    dataFile = nullptr;
    const bool written = std::fflush(file) == 0 && !std::ferror(file);
    const bool closed = std::fclose(file) == 0;

    std::copy(std::begin(savedAbsent), std::end(savedAbsent), blockAbsent);
    setWorkingValues();
    if (!written || !closed || !platform::replaceFile(tempPath, path)) {
        platform::removeFile(tempPath);
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace sim

namespace sim {

namespace {

// The controllers not being served keep their configuration and state here;
// the one served lives in the globals, so that the protocol code serves it
// as it would a single controller.
struct Controller {
    UnitOptions unit;
    ControllerImage image{};
    std::vector<SetpointRecord> setpoints;
    int32_t setpointCount = 0;
    SimState state;
};

std::vector<Controller> controllers;
int served = -1;

void swapWithGlobals(Controller& c) {
    std::swap(c.image, ::image);
    std::swap(c.setpoints, ::setpoints);
    std::swap(c.setpointCount, ::setpointCount);
    std::swap(c.state, sim::state);
}

}  // namespace

bool loadControllers(std::string& error) {
    controllers.clear();
    served = -1;
    controllers.resize(options.units.size());
    for (size_t i = 0; i < options.units.size(); ++i) {
        const UnitOptions& unit = options.units[i];
        controllers[i].unit = unit;
        state = SimState{};
        if (unit.loadPath.empty()) {
            loadDefaultController(unit.model);
        } else if (!loadControllerFile(unit.loadPath, unit.model, error)) {
            return false;
        }
        swapWithGlobals(controllers[i]);
    }
    selectController(0);
    return true;
}

int controllerCount() { return static_cast<int>(controllers.size()); }

int controllerAt(int unit) {
    for (size_t i = 0; i < controllers.size(); ++i) {
        if (controllers[i].unit.unit == unit) return static_cast<int>(i);
    }
    return -1;
}

void selectController(int index) {
    if (index < 0 || index >= controllerCount() || index == served) return;
    if (served >= 0) swapWithGlobals(controllers[static_cast<size_t>(served)]);
    swapWithGlobals(controllers[static_cast<size_t>(index)]);
    served = index;
    const UnitOptions& unit = controllers[static_cast<size_t>(index)].unit;
    options.unit = unit.unit;
    options.loadPath = unit.loadPath;
    options.savePath = unit.savePath;
    options.model = unit.model;
    setWorkingValues();
}

}  // namespace sim
