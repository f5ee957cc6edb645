#include "image/controller_image.h"

#include <algorithm>

ControllerImage image;
std::vector<SetpointRecord> setpoints;
int32_t setpointCount = 0;
int32_t blockAbsent[kFunctionCount];

int32_t effectiveOptions[kOptionCount];
int32_t firstChannel = 0;
int32_t lastChannel = -1;
int32_t configModel = 0;

// No record of a controller can hold more setpoints than a 16-bit count.
constexpr int32_t kMaxSetpointIndex = 1 << 20;

void resetImage() {
    image = ControllerImage{};
    std::fill(std::begin(blockAbsent), std::end(blockAbsent), 1);
}

void allocateSetpoints(int32_t count) {
    setpoints.clear();
    setpoints.resize(static_cast<size_t>(std::clamp(count, 0, kMaxSetpointIndex)));
}

void releaseSetpoints() {
    setpoints.clear();
    setpoints.shrink_to_fit();
    setpointCount = 0;
}

bool storeSetpoint(int32_t index, const SetpointRecord& record) {
    if (index < 0 || index >= kMaxSetpointIndex) return false;
    if (static_cast<size_t>(index) >= setpoints.size()) setpoints.resize(static_cast<size_t>(index) + 1);
    setpoints[static_cast<size_t>(index)] = record;
    return true;
}

bool clampedChannelRange(int32_t& first, int32_t& last) {
    first = std::max<int32_t>(firstChannel, 0);
    last = std::min<int32_t>(lastChannel, kMaxChannels - 1);
    return first <= last;
}

int32_t clampCount(int32_t count, int32_t limit) { return std::clamp<int32_t>(count, 0, limit); }

const char* const kOptionDescriptions[kOptionCount] = {
    "No options",
    "-G; Gray code",
    "-P; Register mark control",
    "Not implemented",
    "-H; High resolution",
    "-L; Leading/trailing speed comp",
    "-A; Analog output",
    "-M7; Press feed Special",
    "-M8; Dual brake Special",
    "-M9; Channel 84 offset Special",
    "-M10; Web cutter Special",
    "-F; Increased program storage",
    "-E; Enhanced operator interface",
    "512 Pulses/chn",
    "-M14; Bag sealer Special",
    "-M15; Glue gun Special",
    "-M16; Labeler Special",
    "-M17; Stacker Special",
    "Anti-Backup Resolver Logic",
    "-G10; Ten bit Gray code",
    "Multiple output groups (xxx4)",
    "-R; Remote display",
    "RPM based on 4096",
};

const FunctionBlockInfo kFunctionBlocks[kFunctionCount] = {
    {"Stop / restart controller", false, true, true},
    {"Set checksum and reset", false, true, true},
    {"Model", true, true, true},
    {"Firmware revision", true, true, true},
    {"Output quantity", true, true, true},
    {"Options", true, true, true},
    {"Default program", true, true, true},
    {"Speed compensation", true, true, true},
    {"Timed outputs", true, true, true},
    {"Group offsets", true, true, true},
    {"Analog outputs", true, true, true},
    {"Motion detection", true, true, true},
    {"Gray code speed compensation", true, false, true},
    {"not used", false, false, false},
    {"Map limit", true, true, false},
    {"Register mappings", true, true, false},
    {"Keyboard quantity", true, true, true},
    {"Direction of rotation", true, true, true},
    {"Scale factor", true, true, true},
    {"Absolute (shaft) offset", true, false, true},
    {"Analog quantity", true, true, true},
    {"Resolver type", true, true, true},
    {"Program select mode", true, true, true},
    {"Gray code output level", true, false, true},
    {"Time base", true, true, true},
    {"Termination resistors", true, false, true},
    {"Default display", true, true, true},
    {"Rate setup", true, true, true},
    {"Toggle rpm", true, true, true},
    {"Rpm update rate", true, true, true},
    {"Speed comp mode", true, true, true},
    {"Group position display mode", true, true, true},
    {"Operator ID", true, true, true},
    {"Setup ID", true, true, true},
    {"Master ID", true, true, true},
    {"Per-channel enable", true, true, true},
    {"Operator enable: setpoints", true, true, true},
    {"Operator enable: default program", true, true, true},
    {"Operator enable: speed comp", true, true, true},
    {"Operator enable: timed outputs", true, true, true},
    {"Operator enable: offsets", true, true, true},
    {"Operator enable: motion detection", true, true, true},
    {"Operator enable: analog values", true, true, true},
    {"Motion ANDing", true, true, true},
    {"Output enable ANDing", true, true, true},
    {"Output group quantity", true, true, true},
    {"Output group configuration", true, true, true},
    {"Enable input quantity", true, false, true},
    {"Group position (each/one)", true, false, true},
    {"Setpoints", true, true, true},
    {"Input enable ANDing", true, false, true},
    {"Shift register counts", true, false, true},
};

namespace {

struct ModelDesignation {
    int32_t model;
    const char* word;
};
constexpr ModelDesignation kModelDesignations[] = {{4354, "KR54"}, {4355, "KR55"}, {4356, "KR56"}};

}  // namespace

const char* modelDesignation(int32_t model) {
    for (const auto& d : kModelDesignations) {
        if (model == d.model) return d.word;
    }
    return nullptr;
}

int32_t modelOfDesignation(std::string_view word) {
    for (const auto& d : kModelDesignations) {
        if (word == d.word) return d.model;
    }
    return 0;
}

void deriveWorkingValues() {
    const int32_t model = image.model;
    if (modelHasBuiltInOptions(model)) {
        image.options[kOptionLeadingTrailing] = 1;
        image.options[kOptionAnalogOutput] = 1;
        if (modelHasBuiltInHighResolution(model)) image.options[kOptionHighResolution] = 1;
    } else if (modelHasOwnAnalogQuantity(model)) {
        image.options[kOptionAnalogOutput] = 0;
    }
    for (int i = 0; i < kOptionCount; ++i) effectiveOptions[i] = image.options[i];
    configModel = model;
    const int32_t quantity = image.outputQuantity;
    firstChannel = 0;
    lastChannel = quantity == INT32_MIN ? INT32_MIN : quantity - 1;
    const bool gray = effectiveOptions[kOptionGrayCode] != 0;
    if (!modelIsSmall(model)) {
        if (gray) firstChannel = effectiveOptions[kOptionTenBitGray] ? 10 : 8;
    } else {
        if (gray) {
            image.outputQuantity =
                quantity > INT32_MAX - kGrayCodeExtraOutputs ? INT32_MAX : quantity + kGrayCodeExtraOutputs;
        }
        if (effectiveOptions[kOptionAnalogOutput] != 0)
            lastChannel = quantity > INT32_MIN + 1 ? quantity - 2 : INT32_MIN;
    }
}
