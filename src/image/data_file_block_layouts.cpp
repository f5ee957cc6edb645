// The blocks of the data file with their own layout: the model, the options,
// the per-channel lists, groups, analog outputs, motion detection, mappings,
// termination resistors, rate setup, setpoints and shift counts. Each has a
// small write and parse function, joined to its number and the form of its
// lines in kOwnLayoutBlocks; the dispatch in data_file_blocks.cpp reaches
// them through ownLayoutBlock.
//
// Every index that comes from a file is checked against the image's arrays;
// a line that would store outside them is ignored.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_blocks.h"
#include "image/data_file_text.h"
#include "image/value_scan.h"

namespace blocks {
namespace {

// A printed speed compensation: after an upload the image holds the
// controller's 16-bit word, in which values above 10000 are negative.
int32_t speedCompShown(int32_t value) { return value > 10000 ? value - 65536 : value; }

// ---- block 2: model

void writeModel() {
    if (const char* word = modelDesignation(image.model)) {
        composeLine(textf("%i: %s", 2, word), " Model");
    } else {
        composeLine(textf("%i: %i", 2, image.model), " Model");
    }
}

// Only the designations replace the model; a number leaves the one that the
// connected controller reported.
void parseModel(const LineForm& form) {
    int32_t v[1];
    std::string word;
    if (scanValues(lineBuffer, form.format, v, 1, &word) < 2) return;
    if (const int32_t model = modelOfDesignation(word); model != 0) image.model = model;
}

// ---- block 5: options, one line per set option

void writeOptions() {
    for (int i = 0; i < kOptionCount; ++i) {
        if (image.options[i] == 0) continue;
        composeLine(textf("%i: %i,%i", 5, i + 1, image.options[i]), textf(" Option: %s", kOptionDescriptions[i]));
    }
}

void parseOptions(const LineForm& form) {
    int32_t v[3];
    if (scanLine(form.format, v, 3) < 3) return;
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
        comment = speedCompInDegrees(image.model) ? " Speed comp (deg/1000rpm): chn, leading, trailing"
                                                  : " Speed comp (.1mS): chn, leading, trailing";
    } else {
        comment = speedCompInDegrees(image.model) ? " Speed comp (deg/1000rpm): chn, value"
                                                  : " Speed comp (.1mS): chn, value";
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

void parseSpeedComp(const LineForm& form) {
    int32_t v[4];
    if (hasLeadingTrailing()) {
        int n = scanLine(form.format, v, 4);
        if (n < 2) return;
        int32_t c = fileIndex(v[1], kMaxChannels);
        if (c < 0) return;
        if (n > 2) image.speedCompLeading[c] = v[2];
        if (n > 3) image.speedCompTrailing[c] = v[3];
    } else {
        if (scanLine(form.format, v, 3) < 3) return;
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

void parseTimedOutputs(const LineForm& form) {
    int32_t v[3];
    if (scanLine(form.format, v, 3) < 3) return;
    int32_t c = fileIndex(v[1], kMaxChannels);
    if (c >= 0) image.timedOutputDelay[c] = v[2];
}

// ---- block 9: group offsets

void writeGroupOffsets() {
    const char* comment =
        effectiveOptions[kOptionChannel84Offset] != 0 ? " Channel 84: group#, offset" : " Offset: group#, offset";
    const int32_t groups = clampCount(image.groupQuantity, kMaxGroups);
    for (int32_t g = 0; g < groups; ++g) composeLine(textf("%i: %i,%i", 9, g + 1, image.groupOffset[g]), comment);
}

void parseGroupOffsets(const LineForm& form) {
    int32_t v[3];
    if (scanLine(form.format, v, 3) < 3) return;
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

void parseAnalogOutputs(const LineForm& form) {
    int32_t v[4];
    int n = scanLine(form.format, v, 4);
    if (n < 2) return;
    int32_t a = fileIndex(v[1], kMaxAnalogOutputs);
    if (a < 0) return;
    if (n > 2) image.analogOffset[a] = v[2];
    if (n > 3) image.analogHighRpm[a] = v[3];
}

// ---- block 11: motion detection

void writeMotionDetection() {
    if (oneMotionLevel(image.model, image.options)) {
        composeLine(textf("%i: %i,%i", 11, image.motionLowRpm[0], image.motionHighRpm[0]),
                    " Motion detection: low rpm, high rpm");
    } else if (fixedMotionLevels(image.model, image.options)) {
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

void parseMotionDetection(const LineForm& form) {
    int32_t v[4];
    if (oneMotionLevel(image.model, image.options)) {
        int n = scanLine(form.format, v, 3);
        if (n > 1) image.motionLowRpm[0] = v[1];
        if (n > 2) image.motionHighRpm[0] = v[2];
        return;
    }
    int n = scanLine(form.format, v, 4);
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
void parseMapping(const LineForm& form) {
    int32_t v[6] = {};
    int n = scanLine(form.format, v, 6);
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

// ---- block 25: termination resistors

void writeTermination() {
    composeLine(textf("%i: %i,%i", 25, image.terminationResistor[0], image.terminationResistor[1]),
                " Termination resistors: grp1 on/off, grp2 on/off");
}

void parseTermination(const LineForm& form) {
    int32_t v[3];
    int n = scanLine(form.format, v, 3);
    if (n > 1) image.terminationResistor[0] = v[1];
    if (n > 2) image.terminationResistor[1] = v[2];
}

// ---- block 27: rate setup

int32_t ControllerImage::*const kRateFields[] = {&ControllerImage::rateMultiplier, &ControllerImage::rateDivisor,
                                                 &ControllerImage::rateDecimalPoint, &ControllerImage::rateUnits};

void writeRateSetup() {
    if (!rateSetupApplies()) return;
    composeLine(
        textf("%i: %i,%i,%i,%i", 27, image.rateMultiplier, image.rateDivisor, image.rateDecimalPoint, image.rateUnits),
        " Rate setup: mpx, div, dec pt, units: 0=RPM, 1=BPM, 2=CPM, 3=IPM");
}

void parseRateSetup(const LineForm& form) {
    if (!form.applies()) return;
    int32_t v[5];
    int n = scanLine(form.format, v, 5);
    for (int i = 1; i < n; ++i) image.*kRateFields[i - 1] = v[i];
}

// ---- block 46: output group configuration

void writeGroupConfig() {
    if (!modelHasGroups(image.model)) return;
    const int32_t groups = clampCount(image.groupQuantity, kMaxGroups);
    for (int32_t g = 0; g < groups; ++g) {
        composeLine(textf("%i: %i,%i,%i", 46, g + 1, image.groupChannelCount[g], image.groupMode[g]),
                    " Output group config: group, #chns, mode");
    }
}

void parseGroupConfig(const LineForm& form) {
    int32_t v[4];
    int n = scanLine(form.format, v, 4);
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
void parseSetpoint(const LineForm& form) {
    int32_t v[5] = {};
    int n = scanLine(form.format, v, 5);
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

void parseShiftCount(const LineForm& form) {
    int32_t v[4];
    if (scanLine(form.format, v, 4) < 4) return;
    int32_t p = fileIndex(v[1], kShiftPrograms);
    int32_t c = fileIndex(v[2], kShiftChannels);
    if (p < 0 || c < 0) return;
    image.shiftRegisterCount[p][c] = wrapAdd(v[3], -1);
    blockAbsent[51] = 0;
}

// ---- the dispatch table, with the form of each block's lines

bool oneMotionLevelNow() { return oneMotionLevel(image.model, image.options); }

constexpr OwnLayoutBlock kOwnLayoutBlocks[] = {
    {2, writeModel, parseModel, {"%i: %s", "s", LineIndex::None, always}},
    {5, writeOptions, parseOptions, {kTwoValues, "iB", LineIndex::Option, always}},
    {7,
     writeSpeedComp,
     parseSpeedComp,
     {kTwoValues, "iS", LineIndex::Channel, always},
     {kThreeValues, "iSS", LineIndex::Channel, always},
     hasLeadingTrailing},
    {8, writeTimedOutputs, parseTimedOutputs, {kTwoValues, "iW", LineIndex::Channel, always}},
    {9, writeGroupOffsets, parseGroupOffsets, {kTwoValues, "iW", LineIndex::Group, always}},
    {10, writeAnalogOutputs, parseAnalogOutputs, {kThreeValues, "iWW", LineIndex::Analog, always}},
    {11,
     writeMotionDetection,
     parseMotionDetection,
     {kThreeValues, "iWW", LineIndex::Motion, always},
     {kTwoValues, "WW", LineIndex::None, always},
     oneMotionLevelNow},
    {15, writeMappings, parseMapping, {"%i: %i,%i,%i,%i,%i", "WWWWW", LineIndex::Mapping, always}},
    {25, writeTermination, parseTermination, {kTwoValues, "BB", LineIndex::None, always}},
    {27, writeRateSetup, parseRateSetup, {kFourValues, "WWBB", LineIndex::None, rateSetupApplies}},
    {46, writeGroupConfig, parseGroupConfig, {kThreeValues, "iBB", LineIndex::Group, always}},
    {49, writeSetpoints, parseSetpoint, {kFourValues, "iiWW", LineIndex::Setpoint, always}},
    {51, writeShiftCounts, parseShiftCount, {kThreeValues, "iiW", LineIndex::Shift, shiftCountsApply}},
};

}  // namespace

const OwnLayoutBlock* ownLayoutBlock(int functionNumber) {
    for (const auto& b : kOwnLayoutBlocks) {
        if (b.functionNumber == functionNumber) return &b;
    }
    return nullptr;
}

}  // namespace blocks
