// The block transcriber: for every function number, how its value lines are
// written from the image (mode 3) and parsed back into it (mode 2).
//
// The single-value blocks are one row each in kSingleValueBlocks, read by
// both directions. Blocks with their own layout (options, per-channel lists,
// groups, analog outputs, motion detection, mappings, resolvers, rows of
// eight channels, setpoints, shift counts) have small functions below the
// table, joined to their numbers in kSpecialBlocks.
//
// Every index that comes from a file is checked against the image's arrays;
// a line that would store outside them is ignored. Values a line does not
// supply store nothing: the field keeps what it had.

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_text.h"
#include "image/value_scan.h"

namespace {

// ---- small helpers

// Adds without the undefined behaviour of a signed overflow: the result
// wraps as the 32-bit value does on the controller's side.
int32_t wrapAdd(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<int64_t>(value) + delta);
}

// A 1-based index from the file turned into a 0-based one, or -1 when it is
// outside 1..limit.
int32_t fileIndex(int32_t oneBased, int32_t limit) {
    return (oneBased >= 1 && oneBased <= limit) ? oneBased - 1 : -1;
}

// Scans lineBuffer; `v` receives the numbers (v[0] is the function number),
// the result is how many were read.
int scanLine(const char* format, int32_t* v, int maxValues) {
    return scanValues(lineBuffer, format, v, maxValues);
}

// A printed speed compensation: after an upload the image holds the
// controller's 16-bit word, in which values above 10000 are negative.
int32_t speedCompShown(int32_t value) { return value > 10000 ? value - 65536 : value; }

bool smallModel() { return image.model < 3344; }
bool hasGrayCode() { return effectiveOptions[1] != 0; }
bool hasLeadingTrailing() { return image.options[5] != 0; }
bool always() { return true; }

// ---- the single-value blocks

using Condition = bool (*)();

struct SingleValueBlock {
    int functionNumber;
    int32_t ControllerImage::*field;
    const char* comment;
    Condition written;   // the writer writes the line
    Condition parsed;    // the reader takes the line
    int32_t shownPlus;   // the file shows field + shownPlus
    void (*afterParse)();
};

bool analogQuantityWritten() { return effectiveOptions[6] != 0 || configModel == 4344; }
bool timeBaseApplies() { return image.model < 3344 && image.outputQuantity < 24; }
bool defaultDisplayWritten() { return image.model < 4344; }
bool rateSetupApplies() { return modelHasRateSetup(image.model); }

// The analog outputs are taken off the channel range when the analog option
// does not already account for them.
void analogQuantityParsed() {
    if (effectiveOptions[6] == 0) lastChannel = lastChannelLess(lastChannel, image.analogQuantity);
}

constexpr SingleValueBlock kSingleValueBlocks[] = {
    {3, &ControllerImage::firmwareRevision, " Firmware revision", always, always, 0, nullptr},
    {4, &ControllerImage::outputQuantity, " Output quantity", always, always, 0, nullptr},
    {6, &ControllerImage::defaultProgram, " Default Program", always, always, 1, nullptr},
    {12, &ControllerImage::grayCodeSpeedComp, " Gray code speed comp (.1mS)", hasGrayCode, always, 0, nullptr},
    {14, &ControllerImage::mapLimit, " Map limit", always, always, 0, nullptr},
    {16, &ControllerImage::keyboardQuantity, " Keyboard quantity", always, always, 0, nullptr},
    {20, &ControllerImage::analogQuantity, " Analog quantity", analogQuantityWritten, always, 0,
     analogQuantityParsed},
    {21, &ControllerImage::resolverType, " Resolver type: 0=TVX, 1=Other", always, always, 0, nullptr},
    {22, &ControllerImage::programSelectMode, " Program select mode: 0=bin, 1=BCD, 2=Gray", always, always, 0,
     nullptr},
    {23, &ControllerImage::grayOutputLevel, " Gray code output level: 0=true, 1=inverted", hasGrayCode, always,
     0, nullptr},
    {24, &ControllerImage::timeBase, " Time base: 0=1mS, 1=0.5mS", timeBaseApplies, timeBaseApplies, 0, nullptr},
    {26, &ControllerImage::defaultDisplay, " Default display: 0=rpm, 1=pos, 2=auto", defaultDisplayWritten,
     always, 0, nullptr},
    {28, &ControllerImage::toggleRpm, " Toggle rpm", always, always, 0, nullptr},
    {29, &ControllerImage::rpmUpdateRate, " Rpm update rate: 0=1/Sec, 1=2/Sec, 2=10/Sec", always, always, 0,
     nullptr},
    {30, &ControllerImage::speedCompMode, " Speed comp mode: 0=Single, 1=L/T", hasLeadingTrailing, always, 0,
     nullptr},
    {31, &ControllerImage::groupPositionDisplayMode, " Group pos display mode: 0=Each, 1=One", always, always, 0,
     nullptr},
    {32, &ControllerImage::operatorId, " Operator ID number (P2)", always, always, 0, nullptr},
    {33, &ControllerImage::setupId, " Setup ID number (P1)", always, always, 0, nullptr},
    {34, &ControllerImage::masterId, " Master ID number", rateSetupApplies, rateSetupApplies, 0, nullptr},
    {36, &ControllerImage::operatorEnableSetpoints, " Operator enable: Setpoints", always, always, 0, nullptr},
    {37, &ControllerImage::operatorEnableDefaultProgram, " Operator enable: Default program", always, always, 0,
     nullptr},
    {38, &ControllerImage::operatorEnableSpeedComp, " Operator enable: Speed comp", always, always, 0, nullptr},
    {39, &ControllerImage::operatorEnableTimedOutputs, " Operator enable: Timed outputs", always, always, 0,
     nullptr},
    {40, &ControllerImage::operatorEnableOffsets, " Operator enable: Offsets", always, always, 0, nullptr},
    {41, &ControllerImage::operatorEnableMotion, " Operator enable: Motion detection", always, always, 0, nullptr},
    {42, &ControllerImage::operatorEnableAnalog, " Operator enable: Analog values", rateSetupApplies,
     rateSetupApplies, 0, nullptr},
    {45, &ControllerImage::groupQuantity, " Output group quantity", always, always, 0, nullptr},
    {47, &ControllerImage::enableInputQuantity, " Enable input quantity", always, always, 0, nullptr},
    {48, &ControllerImage::groupPositionMode, " Group position (Each=0, One=1)", always, always, 0, nullptr},
};

void writeSingleValue(const SingleValueBlock& b) {
    if (!b.written()) return;
    composeLine(textf("%i: %i", b.functionNumber, wrapAdd(image.*b.field, b.shownPlus)), b.comment);
}

void parseSingleValue(const SingleValueBlock& b) {
    if (!b.parsed()) return;
    int32_t v[2];
    if (scanLine("%i: %i", v, 2) == 2) image.*b.field = wrapAdd(v[1], -b.shownPlus);
    if (b.afterParse != nullptr) b.afterParse();
}

// ---- block 2: model

struct ModelDesignation {
    int32_t model;
    const char* word;
};
constexpr ModelDesignation kModelDesignations[] = {{4354, "KR54"}, {4355, "KR55"}, {4356, "KR56"}};

void writeModel() {
    for (const auto& d : kModelDesignations) {
        if (image.model == d.model) {
            composeLine(textf("%i: %s", 2, d.word), " Model");
            return;
        }
    }
    composeLine(textf("%i: %i", 2, image.model), " Model");
}

// Only the designations replace the model; a number leaves the one that the
// connected controller reported.
void parseModel() {
    int32_t v[1];
    std::string word;
    if (scanValues(lineBuffer, "%i: %s", v, 1, &word) < 2) return;
    for (const auto& d : kModelDesignations) {
        if (word == d.word) image.model = d.model;
    }
}

// ---- block 5: options, one line per set option

void writeOptions() {
    for (int i = 0; i < kOptionCount; ++i) {
        if (image.options[i] == 0) continue;
        composeLine(textf("%i: %i,%i", 5, i + 1, image.options[i]), textf(" Option: %s", kOptionDescriptions[i]));
    }
}

void parseOptions() {
    int32_t v[3];
    if (scanLine("%i: %i,%i", v, 3) < 3) return;
    int32_t k = fileIndex(v[1], kOptionCount);
    if (k >= 0) image.options[k] = v[2];
}

// ---- block 7: speed compensation per channel

void writeSpeedComp() {
    int32_t first, last;
    if (!clampedChannelRange(first, last)) return;
    const bool leadingTrailing = hasLeadingTrailing();
    const char* comment;
    if (leadingTrailing) {
        comment = smallModel() ? " Speed comp (deg/1000rpm): chn, leading, trailing"
                               : " Speed comp (.1mS): chn, leading, trailing";
    } else {
        comment = smallModel() ? " Speed comp (deg/1000rpm): chn, value" : " Speed comp (.1mS): chn, value";
    }
    for (int32_t c = first; c <= last; ++c) {
        const int32_t leading = image.speedCompLeading[c];
        const int32_t trailing = image.speedCompTrailing[c];
        if (leading == 0 && trailing == 0) continue;
        if (leadingTrailing) {
            composeLine(textf("%i: %i,%i,%i", 7, c + 1, speedCompShown(leading), speedCompShown(trailing)), comment);
        } else {
            composeLine(textf("%i: %i,%i", 7, c + 1, speedCompShown(leading)), comment);
        }
    }
}

void parseSpeedComp() {
    int32_t v[4];
    if (hasLeadingTrailing()) {
        int n = scanLine("%i: %i,%i,%i", v, 4);
        if (n < 2) return;
        int32_t c = fileIndex(v[1], kMaxChannels);
        if (c < 0) return;
        if (n > 2) image.speedCompLeading[c] = v[2];
        if (n > 3) image.speedCompTrailing[c] = v[3];
    } else {
        if (scanLine("%i: %i,%i", v, 3) < 3) return;
        int32_t c = fileIndex(v[1], kMaxChannels);
        if (c < 0) return;
        image.speedCompLeading[c] = v[2];
        image.speedCompTrailing[c] = v[2];
    }
}

// ---- block 8: timed outputs per channel

void writeTimedOutputs() {
    int32_t first, last;
    if (!clampedChannelRange(first, last)) return;
    for (int32_t c = first; c <= last; ++c) {
        if (image.timedOutputDelay[c] == 0) continue;
        composeLine(textf("%i: %i,%i", 8, c + 1, image.timedOutputDelay[c]), " Timed outputs (mS): chn, delay");
    }
}

void parseTimedOutputs() {
    int32_t v[3];
    if (scanLine("%i: %i,%i", v, 3) < 3) return;
    int32_t c = fileIndex(v[1], kMaxChannels);
    if (c >= 0) image.timedOutputDelay[c] = v[2];
}

// ---- block 9: group offsets

void writeGroupOffsets() {
    const char* comment = effectiveOptions[9] != 0 ? " Channel 84: group#, offset" : " Offset: group#, offset";
    const int32_t groups = clampCount(image.groupQuantity, kMaxGroups);
    for (int32_t g = 0; g < groups; ++g) composeLine(textf("%i: %i,%i", 9, g + 1, image.groupOffset[g]), comment);
}

void parseGroupOffsets() {
    int32_t v[3];
    if (scanLine("%i: %i,%i", v, 3) < 3) return;
    int32_t g = fileIndex(v[1], kMaxGroups);
    if (g >= 0) image.groupOffset[g] = v[2];
}

// ---- block 10: analog outputs

void writeAnalogOutputs() {
    const int32_t count = clampCount(image.analogQuantity, kMaxAnalogOutputs);
    for (int32_t a = 0; a < count; ++a) {
        composeLine(textf("%i: %i,%i,%i", 10, a + 1, image.analogOffset[a], image.analogHighRpm[a]),
                    " Analog output: Analog chn#, offset, high RPM");
    }
}

void parseAnalogOutputs() {
    int32_t v[4];
    int n = scanLine("%i: %i,%i,%i", v, 4);
    if (n < 2) return;
    int32_t a = fileIndex(v[1], kMaxAnalogOutputs);
    if (a < 0) return;
    if (n > 2) image.analogOffset[a] = v[2];
    if (n > 3) image.analogHighRpm[a] = v[3];
}

// ---- block 11: motion detection

bool oneMotionLevel() { return smallModel() && image.options[6] == 0; }

void writeMotionDetection() {
    if (oneMotionLevel()) {
        composeLine(textf("%i: %i,%i", 11, image.motionLowRpm[0], image.motionHighRpm[0]),
                    " Motion detection: low rpm, high rpm");
    } else if (image.model <= 3344 && image.options[6] != 0) {
        composeLine(textf("%i: 1,%i,%i", 11, image.motionLowRpm[0], image.motionHighRpm[0]),
                    " Motion detection: 1, low rpm, high rpm");
        composeLine(textf("%i: 2,%i,%i", 11, image.motionLowRpm[1], image.motionHighRpm[1]),
                    " Motion detection: 2, low rpm, high rpm");
    } else {
        for (int level = 0; level < kMaxMotionLevels; ++level) {
            composeLine(textf("%i: %i,%i,%i", 11, level + 1, image.motionLowRpm[level], image.motionHighRpm[level]),
                        " Motion detection: level#, low rpm, high rpm");
        }
    }
}

void parseMotionDetection() {
    int32_t v[4];
    if (oneMotionLevel()) {
        int n = scanLine("%i: %i,%i", v, 3);
        if (n > 1) image.motionLowRpm[0] = v[1];
        if (n > 2) image.motionHighRpm[0] = v[2];
        return;
    }
    int n = scanLine("%i: %i,%i,%i", v, 4);
    if (n < 2) return;
    int32_t level = fileIndex(v[1], kMaxMotionLevels);
    if (level < 0) return;
    if (n > 2) image.motionLowRpm[level] = v[2];
    if (n > 3) image.motionHighRpm[level] = v[3];
}

// ---- block 15: register mappings

constexpr const char* kMappingComments[] = {
    "ERROR!!!",
    " Mapping: position, register, group#, n/c, n/c",
    " Mapping: pulse, register, pgm, chn, pulse",
    " Mapping: speed comp, register, chn, n/c, n/c",
    " Mapping: timed output, register, chn, n/c, n/c",
    " Mapping: group offset, register, group, n/c, n/c",
    " Mapping: motion detection, register, mot level, n/c, n/c",
    " Mapping: analog output, register, analog chn, n/c, n/c",
};
constexpr int32_t kPulseMapping = 2;

void writeMappings() {
    const int32_t count = clampCount(image.mappingCount, kMaxMappings);
    for (int32_t i = 0; i < count; ++i) {
        const MappingRecord& m = image.mappings[i];
        const bool known = m.type >= 1 && m.type <= 7;
        const int32_t plus = m.type == kPulseMapping ? 1 : 0;
        composeLine(textf("%i: %i,%i,%i,%i,%i", 15, m.type, m.register_, wrapAdd(m.target, 1),
                          wrapAdd(m.pulseChannel, plus), wrapAdd(m.pulseNumber, plus)),
                    kMappingComments[known ? m.type : 0]);
    }
}

// Each line adds a record; fields the line lacks are 0 in it.
void parseMapping() {
    int32_t v[6] = {};
    int n = scanLine("%i: %i,%i,%i,%i,%i", v, 6);
    if (n < 2) return;
    if (image.mappingCount < 0 || image.mappingCount >= kMaxMappings) return;
    MappingRecord m;
    m.type = v[1];
    m.register_ = v[2];
    m.target = n > 3 ? wrapAdd(v[3], -1) : 0;
    const int32_t minus = m.type == kPulseMapping ? -1 : 0;
    m.pulseChannel = n > 4 ? wrapAdd(v[4], minus) : 0;
    m.pulseNumber = n > 5 ? wrapAdd(v[5], minus) : 0;
    image.mappings[image.mappingCount++] = m;
    blockAbsent[15] = 0;
}

// ---- blocks 17, 18, 19: one value per resolver

struct ResolverBlock {
    int functionNumber;
    int32_t (ControllerImage::*field)[kMaxResolvers];
    const char* twoResolverComment;
    const char* oneResolverComment;
    Condition written;
};

bool scaleFactorWritten() { return image.model >= 3300; }

constexpr ResolverBlock kResolverBlocks[] = {
    {17, &ControllerImage::rotationDirection, " Direction of rotation: Resolver #, 0=CCW/1=CW",
     " Direction of increasing rotation: 0=CCW, 1=CW", always},
    {18, &ControllerImage::scaleFactor, " Scale factor: Resolver #, Scale factor", " Scale factor",
     scaleFactorWritten},
    {19, &ControllerImage::shaftOffset, " Absolute offset: Resolver #, Offset", " Absolute offset", always},
};

const ResolverBlock* resolverBlock(int functionNumber) {
    for (const auto& b : kResolverBlocks) {
        if (b.functionNumber == functionNumber) return &b;
    }
    return nullptr;
}

void writeResolverBlock(int functionNumber) {
    const ResolverBlock* b = resolverBlock(functionNumber);
    if (b == nullptr || !b->written()) return;
    const int32_t* values = image.*(b->field);
    if (modelHasTwoResolvers(image.model)) {
        for (int r = 0; r < kMaxResolvers; ++r) {
            composeLine(textf("%i: %i, %i", b->functionNumber, r + 1, values[r]), b->twoResolverComment);
        }
    } else {
        composeLine(textf("%i: %i", b->functionNumber, values[0]), b->oneResolverComment);
    }
}

void parseResolverBlock(int functionNumber) {
    const ResolverBlock* b = resolverBlock(functionNumber);
    if (b == nullptr) return;
    int32_t* values = image.*(b->field);
    int32_t v[3];
    if (modelHasTwoResolvers(image.model)) {
        if (scanLine("%i: %i, %i", v, 3) < 3) return;
        int32_t r = fileIndex(v[1], kMaxResolvers);
        if (r >= 0) values[r] = v[2];
    } else if (scanLine("%i: %i", v, 2) == 2) {
        values[0] = v[1];
    }
}

void writeRotation() { writeResolverBlock(17); }
void writeScaleFactor() { writeResolverBlock(18); }
void writeShaftOffset() { writeResolverBlock(19); }
void parseRotation() { parseResolverBlock(17); }
void parseScaleFactor() { parseResolverBlock(18); }
void parseShaftOffset() { parseResolverBlock(19); }

// ---- block 25: termination resistors

void writeTermination() {
    composeLine(textf("%i: %i,%i", 25, image.terminationResistor[0], image.terminationResistor[1]),
                " Termination resistors: grp1 on/off, grp2 on/off");
}

void parseTermination() {
    int32_t v[3];
    int n = scanLine("%i: %i,%i", v, 3);
    if (n > 1) image.terminationResistor[0] = v[1];
    if (n > 2) image.terminationResistor[1] = v[2];
}

// ---- block 27: rate setup

int32_t ControllerImage::*const kRateFields[] = {&ControllerImage::rateMultiplier, &ControllerImage::rateDivisor,
                                                 &ControllerImage::rateDecimalPoint, &ControllerImage::rateUnits};

void writeRateSetup() {
    if (!rateSetupApplies()) return;
    composeLine(textf("%i: %i,%i,%i,%i", 27, image.rateMultiplier, image.rateDivisor, image.rateDecimalPoint,
                      image.rateUnits),
                " Rate setup: mpx, div, dec pt, units: 0=RPM, 1=BPM, 2=CPM, 3=IPM");
}

void parseRateSetup() {
    if (!rateSetupApplies()) return;
    int32_t v[5];
    int n = scanLine("%i: %i,%i,%i,%i", v, 5);
    for (int i = 1; i < n; ++i) image.*kRateFields[i - 1] = v[i];
}

// ---- blocks 35, 43, 44, 50: rows of eight channels

constexpr int kRowWidth = 8;

struct RowBlock {
    int functionNumber;
    int32_t (ControllerImage::*field)[kMaxChannels];
    const char* comment;  // printed with the first and last channel of the row
    int32_t fileEntries;  // entries the file can carry
};

constexpr RowBlock kRowBlocks[] = {
    {35, &ControllerImage::channelEnable, " Per chn enable: chns %i-%i; chn on/off", kMaxChannels},
    {43, &ControllerImage::motionAnding, " Motion ANDing: chns %i-%i; chn levels (0=none)", kMaxChannels},
    {44, &ControllerImage::outputEnableAnding, " Output enable ANDing: chns %i-%i; chn on/off", kMaxChannels},
    {50, &ControllerImage::inputEnableAnding, " Input enable ANDing: chns %i-%i; chn on/off", kInputAndingEntries},
};

const RowBlock* rowBlock(int functionNumber) {
    for (const auto& b : kRowBlocks) {
        if (b.functionNumber == functionNumber) return &b;
    }
    return nullptr;
}

void writeRowBlock(int functionNumber) {
    const RowBlock* b = rowBlock(functionNumber);
    if (b == nullptr) return;
    const int32_t* values = image.*(b->field);
    // One row per started group of eight outputs (never beyond the array);
    // input enable ANDing always has its three rows.
    int32_t rows;
    if (b->functionNumber == 50) {
        rows = kInputAndingEntries / kRowWidth;
    } else {
        rows = image.outputQuantity < 1 ? 0 : std::min<int32_t>((image.outputQuantity - 1) / kRowWidth + 1,
                                                                  kMaxChannels / kRowWidth);
    }
    for (int32_t r = 0; r < rows; ++r) {
        const int32_t* e = values + r * kRowWidth;
        composeLine(textf("%i: %i;%i,%i,%i,%i,%i,%i,%i,%i", b->functionNumber, r + 1, e[0], e[1], e[2], e[3], e[4],
                          e[5], e[6], e[7]),
                    textf(b->comment, r * kRowWidth + 1, r * kRowWidth + kRowWidth));
    }
}

void parseRowBlock(int functionNumber) {
    const RowBlock* b = rowBlock(functionNumber);
    if (b == nullptr) return;
    int32_t v[2 + kRowWidth];
    int n = scanLine("%i: %i;%i,%i,%i,%i,%i,%i,%i,%i", v, 2 + kRowWidth);
    if (n < 2) return;
    const int32_t rows = b->fileEntries / kRowWidth;
    if (v[1] < 1 || v[1] > rows) return;
    const int32_t base = (v[1] - 1) * kRowWidth;
    const int32_t last = std::min<int32_t>(lastChannel, b->fileEntries - 1);
    if (base > last) return;
    int32_t* values = image.*(b->field);
    for (int i = 0; i < kRowWidth && 2 + i < n && base + i <= last; ++i) values[base + i] = v[2 + i];
    if (b->functionNumber == 50) blockAbsent[50] = 0;
}

void writeChannelEnable() { writeRowBlock(35); }
void writeMotionAnding() { writeRowBlock(43); }
void writeOutputEnableAnding() { writeRowBlock(44); }
void writeInputEnableAnding() { writeRowBlock(50); }
void parseChannelEnable() { parseRowBlock(35); }
void parseMotionAnding() { parseRowBlock(43); }
void parseOutputEnableAnding() { parseRowBlock(44); }
void parseInputEnableAnding() { parseRowBlock(50); }

// ---- block 46: output group configuration

void writeGroupConfig() {
    if (!modelHasGroups(image.model)) return;
    const int32_t groups = clampCount(image.groupQuantity, kMaxGroups);
    for (int32_t g = 0; g < groups; ++g) {
        composeLine(textf("%i: %i,%i,%i", 46, g + 1, image.groupChannelCount[g], image.groupMode[g]),
                    " Output group config: group, #chns, mode");
    }
}

void parseGroupConfig() {
    int32_t v[4];
    int n = scanLine("%i: %i,%i,%i", v, 4);
    if (n < 2) return;
    int32_t g = fileIndex(v[1], kMaxGroups);
    if (g < 0) return;
    if (n > 2) image.groupChannelCount[g] = v[2];
    if (n > 3) image.groupMode[g] = v[3];
}

// ---- block 49: setpoints

void writeSetpoints() {
    const int32_t count = std::min<int64_t>(clampCount(setpointCount, INT32_MAX), setpoints.size());
    for (int32_t i = 0; i < count; ++i) {
        const SetpointRecord& s = setpoints[static_cast<size_t>(i)];
        composeLine(textf("%i: %i,%i,%i,%i", 49, wrapAdd(s.program, 1), wrapAdd(s.channel, 1), s.on, s.off), " ");
    }
}

// Each line adds a record (the storage grows as needed); fields the line
// lacks are 0 in it.
void parseSetpoint() {
    int32_t v[5] = {};
    int n = scanLine("%i: %i,%i,%i,%i", v, 5);
    SetpointRecord s;
    s.program = n > 1 ? wrapAdd(v[1], -1) : 0;
    s.channel = n > 2 ? wrapAdd(v[2], -1) : 0;
    s.on = n > 3 ? v[3] : 0;
    s.off = n > 4 ? v[4] : 0;
    if (setpointCount < 0) return;
    if (!storeSetpoint(setpointCount, s)) return;
    ++setpointCount;
    blockAbsent[49] = 0;
}

// ---- block 51: shift register counts

void writeShiftCounts() {
    // Channels from firstChannel up to, not including, lastChannel.
    const int32_t first = std::max<int32_t>(firstChannel, 0);
    const int32_t end = std::min<int32_t>(lastChannel, kShiftChannels);
    for (int32_t p = 0; p < kShiftPrograms; ++p) {
        for (int32_t c = first; c < end; ++c) {
            const int32_t count = image.shiftRegisterCount[p][c];
            if (count == 0) continue;
            composeLine(textf("%i: %i,%i,%i", 51, p + 1, c + 1, count), " Shift register counts: pgm, chn, count");
        }
    }
}

void parseShiftCount() {
    int32_t v[4];
    if (scanLine("%i: %i,%i,%i", v, 4) < 4) return;
    int32_t p = fileIndex(v[1], kShiftPrograms);
    int32_t c = fileIndex(v[2], kShiftChannels);
    if (p < 0 || c < 0) return;
    image.shiftRegisterCount[p][c] = wrapAdd(v[3], -1);
    blockAbsent[51] = 0;
}

// ---- the dispatch table

struct SpecialBlock {
    int functionNumber;
    void (*write)();
    void (*parse)();
};

constexpr SpecialBlock kSpecialBlocks[] = {
    {2, writeModel, parseModel},
    {5, writeOptions, parseOptions},
    {7, writeSpeedComp, parseSpeedComp},
    {8, writeTimedOutputs, parseTimedOutputs},
    {9, writeGroupOffsets, parseGroupOffsets},
    {10, writeAnalogOutputs, parseAnalogOutputs},
    {11, writeMotionDetection, parseMotionDetection},
    {15, writeMappings, parseMapping},
    {17, writeRotation, parseRotation},
    {18, writeScaleFactor, parseScaleFactor},
    {19, writeShaftOffset, parseShaftOffset},
    {25, writeTermination, parseTermination},
    {27, writeRateSetup, parseRateSetup},
    {35, writeChannelEnable, parseChannelEnable},
    {43, writeMotionAnding, parseMotionAnding},
    {44, writeOutputEnableAnding, parseOutputEnableAnding},
    {46, writeGroupConfig, parseGroupConfig},
    {49, writeSetpoints, parseSetpoint},
    {50, writeInputEnableAnding, parseInputEnableAnding},
    {51, writeShiftCounts, parseShiftCount},
};

// Function number -> its row, built once from the two tables.
struct BlockIndex {
    std::array<const SingleValueBlock*, kFunctionCount> single{};
    std::array<const SpecialBlock*, kFunctionCount> special{};
    BlockIndex() {
        for (const auto& b : kSingleValueBlocks) single[static_cast<size_t>(b.functionNumber)] = &b;
        for (const auto& b : kSpecialBlocks) special[static_cast<size_t>(b.functionNumber)] = &b;
    }
};

const BlockIndex& blockIndex() {
    static const BlockIndex index;
    return index;
}

}  // namespace

int32_t lastChannelLess(int32_t channel, int32_t quantity) {
    const int64_t reduced = static_cast<int64_t>(channel) - quantity;
    return static_cast<int32_t>(std::clamp<int64_t>(reduced, -1, INT32_MAX));
}

bool anySpeedComp() {
    int32_t first, last;
    if (!clampedChannelRange(first, last)) return false;
    for (int32_t c = first; c <= last; ++c) {
        if (image.speedCompLeading[c] != 0 || image.speedCompTrailing[c] != 0) return true;
    }
    return false;
}

bool anyTimedOutput() {
    int32_t first, last;
    if (!clampedChannelRange(first, last)) return false;
    for (int32_t c = first; c <= last; ++c) {
        if (image.timedOutputDelay[c] != 0) return true;
    }
    return false;
}

void dataFileBlock(int mode, int functionNumber) {
    if (mode != kModeParseLine && mode != kModeWriteLines) return;
    if (functionNumber < 0 || functionNumber >= kFunctionCount) return;
    const BlockIndex& index = blockIndex();
    const auto n = static_cast<size_t>(functionNumber);
    if (const SingleValueBlock* b = index.single[n]) {
        if (mode == kModeWriteLines) {
            writeSingleValue(*b);
        } else {
            parseSingleValue(*b);
        }
    } else if (const SpecialBlock* s = index.special[n]) {
        if (mode == kModeWriteLines) {
            s->write();
        } else {
            s->parse();
        }
    }
}
