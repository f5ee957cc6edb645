#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

// The controller's configuration in memory, divided into function blocks
// 0..51. Every stored value is a signed 32-bit integer; arrays are 0-based.

constexpr int kFunctionCount = 52;
constexpr int kOptionCount = 23;
constexpr int kMaxChannels = 128;
constexpr int kMaxGroups = 8;
constexpr int kMaxAnalogOutputs = 2;
constexpr int kMaxMotionLevels = 2;
constexpr int kMaxResolvers = 2;
constexpr int kMaxMappings = 256;
constexpr int kShiftPrograms = 48;
constexpr int kShiftChannels = 25;
constexpr int kInputAndingEntries = 24;

struct SetpointRecord {
    int32_t program = 0;  // 0-based
    int32_t channel = 0;  // 0-based
    int32_t on = 0;
    int32_t off = 0;
    bool operator==(const SetpointRecord&) const = default;
};

struct MappingRecord {
    int32_t type = 0;       // 1..7
    int32_t register_ = 0;  // the MODBUS register the mapping publishes
    int32_t target = 0;     // 0-based
    int32_t pulseChannel = 0;
    int32_t pulseNumber = 0;
    bool operator==(const MappingRecord&) const = default;
};

// The cleared range: zeroed before every transfer.
struct ControllerImage {
    int32_t model;                                               // 2
    int32_t firmwareRevision;                                    // 3
    int32_t outputQuantity;                                      // 4
    int32_t options[kOptionCount];                               // 5
    int32_t defaultProgram;                                      // 6, 0-based
    int32_t speedCompLeading[kMaxChannels];                      // 7
    int32_t speedCompTrailing[kMaxChannels];                     // 7
    int32_t timedOutputDelay[kMaxChannels];                      // 8
    int32_t groupOffset[kMaxGroups];                             // 9
    int32_t analogOffset[kMaxAnalogOutputs];                     // 10
    int32_t analogHighRpm[kMaxAnalogOutputs];                    // 10
    int32_t motionLowRpm[kMaxMotionLevels];                      // 11
    int32_t motionHighRpm[kMaxMotionLevels];                     // 11
    int32_t grayCodeSpeedComp;                                   // 12
    int32_t mapLimit;                                            // 14
    int32_t mappingCount;                                        // 15
    MappingRecord mappings[kMaxMappings];                        // 15
    int32_t keyboardQuantity;                                    // 16
    int32_t rotationDirection[kMaxResolvers];                    // 17
    int32_t scaleFactor[kMaxResolvers];                          // 18
    int32_t shaftOffset[kMaxResolvers];                          // 19
    int32_t analogQuantity;                                      // 20
    int32_t resolverType;                                        // 21
    int32_t programSelectMode;                                   // 22
    int32_t grayOutputLevel;                                     // 23
    int32_t timeBase;                                            // 24
    int32_t terminationResistor[2];                              // 25
    int32_t defaultDisplay;                                      // 26
    int32_t rateMultiplier;                                      // 27
    int32_t rateDivisor;                                         // 27
    int32_t rateDecimalPoint;                                    // 27
    int32_t rateUnits;                                           // 27
    int32_t toggleRpm;                                           // 28
    int32_t rpmUpdateRate;                                       // 29
    int32_t speedCompMode;                                       // 30
    int32_t groupPositionDisplayMode;                            // 31
    int32_t operatorId;                                          // 32
    int32_t setupId;                                             // 33
    int32_t masterId;                                            // 34
    int32_t channelEnable[kMaxChannels];                         // 35
    int32_t operatorEnableSetpoints;                             // 36
    int32_t operatorEnableDefaultProgram;                        // 37
    int32_t operatorEnableSpeedComp;                             // 38
    int32_t operatorEnableTimedOutputs;                          // 39
    int32_t operatorEnableOffsets;                               // 40
    int32_t operatorEnableMotion;                                // 41
    int32_t operatorEnableAnalog;                                // 42
    int32_t motionAnding[kMaxChannels];                          // 43
    int32_t outputEnableAnding[kMaxChannels];                    // 44
    int32_t groupQuantity;                                       // 45
    int32_t groupChannelCount[kMaxGroups];                       // 46
    int32_t groupMode[kMaxGroups];                               // 46
    int32_t enableInputQuantity;                                 // 47
    int32_t groupPositionMode;                                   // 48
    int32_t inputEnableAnding[kMaxChannels];                     // 50
    int32_t shiftRegisterCount[kShiftPrograms][kShiftChannels];  // 51
};

extern ControllerImage image;

// Outside the cleared range.
// Setpoint records; setpointCount of them are valid. The vector may hold
// more room than that; code that stores record i makes sure it exists.
extern std::vector<SetpointRecord> setpoints;
extern int32_t setpointCount;
// 0: the block holds valid data; non-zero: nothing usable.
extern int32_t blockAbsent[kFunctionCount];

// Working values set by the unit configuration step.
extern int32_t effectiveOptions[kOptionCount];
extern int32_t firstChannel;
extern int32_t lastChannel;  // inclusive
extern int32_t configModel;

// The model's adjustments of the options (models 4354 to 4356 and 4344),
// then effectiveOptions, configModel, firstChannel and lastChannel derived
// from model, options and output quantity as the unit configuration step
// does (a small model with Gray code gets eight more outputs). The analog
// quantity step of a large model's upload is not part of it.
void deriveWorkingValues();

// Zeroes the image range and sets every blockAbsent entry to 1.
void resetImage();
// Room for `count` setpoint records (setpointCount is left alone).
void allocateSetpoints(int32_t count);
// Releases the records and sets setpointCount to 0.
void releaseSetpoints();
// Stores record `index`, growing the storage as needed; false when the index
// is negative or absurdly large.
bool storeSetpoint(int32_t index, const SetpointRecord& record);

// Channel range of the per-channel blocks, clamped to the image's arrays.
// Returns false when the range is empty.
bool clampedChannelRange(int32_t& first, int32_t& last);
// A count from the controller or a file, clamped to 0..limit.
int32_t clampCount(int32_t count, int32_t limit);

// The function-block table: what each block number holds, whether the data
// file carries lines of it, and which protocol's handler transfers it (the
// MODBUS handler carries 37 to 42 inside 36; TVX moves 50 and 51 for model
// 4444 only).
struct FunctionBlockInfo {
    const char* name;
    bool inDataFile;
    bool modbus;
    bool tvx;
};
extern const FunctionBlockInfo kFunctionBlocks[kFunctionCount];

// What each option entry means: the indices of options and effectiveOptions
// (the data file numbers the entries from 1). kOptionDescriptions holds the
// text of each.
enum OptionEntry : int {
    kOptionNone = 0,
    kOptionGrayCode = 1,
    kOptionRegisterMark = 2,
    kOptionNotImplemented = 3,
    kOptionHighResolution = 4,
    kOptionLeadingTrailing = 5,  // speed compensation with a leading and a trailing value
    kOptionAnalogOutput = 6,
    kOptionPressFeed = 7,
    kOptionDualBrake = 8,
    kOptionChannel84Offset = 9,  // the group offset lines carry the channel 84 comment
    kOptionWebCutter = 10,
    kOptionIncreasedStorage = 11,
    kOptionEnhancedOperator = 12,
    kOption512Pulses = 13,
    kOptionBagSealer = 14,
    kOptionGlueGun = 15,
    kOptionLabeler = 16,
    kOptionStacker = 17,
    kOptionAntiBackup = 18,
    kOptionTenBitGray = 19,
    kOptionOutputGroups = 20,
    kOptionRemoteDisplay = 21,
    kOptionRpm4096 = 22,
};
static_assert(kOptionRpm4096 + 1 == kOptionCount);

// Option description table: 23 rows.
extern const char* const kOptionDescriptions[kOptionCount];

// Model rules. The model code decides which blocks and which variants
// apply; every comparison of a model code is made here, by name. `options`
// is whichever option array the caller judges by (image.options, or
// effectiveOptions after the model's adjustments).

// Below 3344: speed compensation in degrees per 1000 rpm (else 0.1 ms),
// a time base block, one motion detection level unless the analog option is
// set, eight more outputs with Gray code, and with the analog option exactly
// one analog output. From 3344 up the analog quantity is read during the
// unit configuration of an upload and Gray code moves the first channel.
inline bool modelIsSmall(int32_t model) { return model < 3344; }
// Above 3344 (3344 itself is neither small nor large): the factory defaults
// of the larger models (operator enables, toggle rpm, per-channel enables,
// their own ID numbers).
inline bool modelIsLarge(int32_t model) { return model > 3344; }
inline bool speedCompInDegrees(int32_t model) { return modelIsSmall(model); }
// From 3300 up: the scale factor block is written.
inline bool modelHasScaleFactor(int32_t model) { return model >= 3300; }
// 4334, and from 4344 up: rate setup (27), master ID (34) and operator
// enable analog (42) exist.
inline bool modelHasRateSetup(int32_t model) { return model >= 4344 || model == 4334; }
// Below 4344: the default display block (26) is written.
inline bool modelHasDefaultDisplay(int32_t model) { return model < 4344; }
// A model whose last digit is 4 has output groups: block 46 and the group
// section.
inline bool modelHasGroups(int32_t model) { return model % 10 == 4; }
// 4544: two resolvers; blocks 17, 18 and 19 carry one value per resolver.
inline bool modelHasTwoResolvers(int32_t model) { return model == 4544; }
// 4444: shift register counts (51) and input enable ANDing (50) exist, and
// the data file carries the shift-position note.
inline bool modelHasShiftCounts(int32_t model) { return model == 4444; }
// 4344: the analog option is cleared by the model's adjustments, yet the
// analog quantity line is always written.
inline bool modelHasOwnAnalogQuantity(int32_t model) { return model == 4344; }
// 4354 to 4356 have speed compensation with leading and trailing values and
// the analog option built in; 4355 and 4356 high resolution too.
inline bool modelHasBuiltInOptions(int32_t model) { return model >= 4354 && model <= 4356; }
inline bool modelHasBuiltInHighResolution(int32_t model) { return model == 4355 || model == 4356; }
// Where the analog outputs come off the channel range, 4356 keeps its last
// channels.
inline bool modelTakesAnalogOffChannels(int32_t model) { return model != 4356; }

// Rules of a model together with its options.
// Eight more outputs than the controller reports (a small model with Gray code).
constexpr int32_t kGrayCodeExtraOutputs = 8;
inline bool grayCodeAddsOutputs(int32_t model, const int32_t* options) {
    return modelIsSmall(model) && options[kOptionGrayCode] != 0;
}
// Exactly one analog output whatever the analog quantity says.
inline bool oneAnalogOutput(int32_t model, const int32_t* options) {
    return modelIsSmall(model) && options[kOptionAnalogOutput] != 0;
}
// One motion detection level (otherwise two).
inline bool oneMotionLevel(int32_t model, const int32_t* options) {
    return modelIsSmall(model) && options[kOptionAnalogOutput] == 0;
}
// The two motion detection levels in the fixed-level form of the data file
// (up to 3344 with the analog option).
inline bool fixedMotionLevels(int32_t model, const int32_t* options) {
    return model <= 3344 && options[kOptionAnalogOutput] != 0;
}
// Fewer outputs than this on a small model: the time base block applies.
constexpr int32_t kTimeBaseOutputLimit = 24;
inline bool modelHasTimeBase(int32_t model, int32_t outputQuantity) {
    return modelIsSmall(model) && outputQuantity < kTimeBaseOutputLimit;
}

// The designations the data file writes for some models ("KR54" for 4354 and
// so on): the word of a model (nullptr when it has none), the model of a
// word (0 when it names none; the word must match exactly).
const char* modelDesignation(int32_t model);
int32_t modelOfDesignation(std::string_view word);
