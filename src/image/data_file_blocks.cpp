// The block transcriber: for every function number, how its value lines are
// written from the image (mode 3) and parsed back into it (mode 2), and the
// form of those lines (lineForm, which the value line rule reads too).
//
// Three kinds of block are rows of a table, read by both directions and
// reached by their function number: the single-value blocks
// (kSingleValueBlocks), the blocks with one value per resolver
// (kResolverBlocks) and the rows of eight channels (kRowBlocks). The blocks
// with their own layout (options, per-channel lists, groups, analog outputs,
// motion detection, mappings, setpoints, shift counts) have small functions
// of their own in data_file_block_layouts.cpp.
//
// Every index that comes from a file is checked against the image's arrays;
// a line that would store outside them is ignored. Values a line does not
// supply store nothing: the field keeps what it had.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_blocks.h"
#include "image/data_file_text.h"
#include "image/value_scan.h"

namespace {

using blocks::always;
using blocks::Condition;
using blocks::fileIndex;
using blocks::hasLeadingTrailing;
using blocks::oneValue;
using blocks::rateSetupApplies;
using blocks::scanLine;
using blocks::timeBaseApplies;
using blocks::wrapAdd;

bool hasGrayCode() { return effectiveOptions[kOptionGrayCode] != 0; }

// ---- the single-value blocks

struct SingleValueBlock {
    int functionNumber;
    int32_t ControllerImage::*field;
    const char* comment;
    Condition written;  // the writer writes the line
    LineForm form;      // its applies: the reader takes the line
    int32_t shownPlus;  // the file shows field + shownPlus
    void (*afterParse)();
};

bool analogQuantityWritten() {
    return effectiveOptions[kOptionAnalogOutput] != 0 || modelHasOwnAnalogQuantity(configModel);
}
bool defaultDisplayWritten() { return modelHasDefaultDisplay(image.model); }

// The analog outputs are taken off the channel range when the analog option
// does not already account for them.
void analogQuantityParsed() {
    if (effectiveOptions[kOptionAnalogOutput] == 0) lastChannel = lastChannelLess(lastChannel, image.analogQuantity);
}

constexpr SingleValueBlock kSingleValueBlocks[] = {
    {3, &ControllerImage::firmwareRevision, " Firmware revision", always, oneValue("W"), 0, nullptr},
    {4, &ControllerImage::outputQuantity, " Output quantity", always, oneValue("Q"), 0, nullptr},
    {6, &ControllerImage::defaultProgram, " Default Program", always, oneValue("P"), 1, nullptr},
    {12, &ControllerImage::grayCodeSpeedComp, " Gray code speed comp (.1mS)", hasGrayCode, oneValue("W"), 0, nullptr},
    {14, &ControllerImage::mapLimit, " Map limit", always, oneValue("W"), 0, nullptr},
    {16, &ControllerImage::keyboardQuantity, " Keyboard quantity", always, oneValue("B"), 0, nullptr},
    {20, &ControllerImage::analogQuantity, " Analog quantity", analogQuantityWritten, oneValue("B"), 0,
     analogQuantityParsed},
    {21, &ControllerImage::resolverType, " Resolver type: 0=TVX, 1=Other", always, oneValue("B"), 0, nullptr},
    {22, &ControllerImage::programSelectMode, " Program select mode: 0=bin, 1=BCD, 2=Gray", always, oneValue("B"), 0,
     nullptr},
    {23, &ControllerImage::grayOutputLevel, " Gray code output level: 0=true, 1=inverted", hasGrayCode, oneValue("B"),
     0, nullptr},
    {24, &ControllerImage::timeBase, " Time base: 0=1mS, 1=0.5mS", timeBaseApplies, oneValue("B", timeBaseApplies), 0,
     nullptr},
    {26, &ControllerImage::defaultDisplay, " Default display: 0=rpm, 1=pos, 2=auto", defaultDisplayWritten,
     oneValue("B"), 0, nullptr},
    {28, &ControllerImage::toggleRpm, " Toggle rpm", always, oneValue("W"), 0, nullptr},
    {29, &ControllerImage::rpmUpdateRate, " Rpm update rate: 0=1/Sec, 1=2/Sec, 2=10/Sec", always, oneValue("B"), 0,
     nullptr},
    {30, &ControllerImage::speedCompMode, " Speed comp mode: 0=Single, 1=L/T", hasLeadingTrailing, oneValue("B"), 0,
     nullptr},
    {31, &ControllerImage::groupPositionDisplayMode, " Group pos display mode: 0=Each, 1=One", always, oneValue("B"), 0,
     nullptr},
    {32, &ControllerImage::operatorId, " Operator ID number (P2)", always, oneValue("W"), 0, nullptr},
    {33, &ControllerImage::setupId, " Setup ID number (P1)", always, oneValue("W"), 0, nullptr},
    {34, &ControllerImage::masterId, " Master ID number", rateSetupApplies, oneValue("W", rateSetupApplies), 0,
     nullptr},
    {36, &ControllerImage::operatorEnableSetpoints, " Operator enable: Setpoints", always, oneValue("B"), 0, nullptr},
    {37, &ControllerImage::operatorEnableDefaultProgram, " Operator enable: Default program", always, oneValue("B"), 0,
     nullptr},
    {38, &ControllerImage::operatorEnableSpeedComp, " Operator enable: Speed comp", always, oneValue("B"), 0, nullptr},
    {39, &ControllerImage::operatorEnableTimedOutputs, " Operator enable: Timed outputs", always, oneValue("B"), 0,
     nullptr},
    {40, &ControllerImage::operatorEnableOffsets, " Operator enable: Offsets", always, oneValue("B"), 0, nullptr},
    {41, &ControllerImage::operatorEnableMotion, " Operator enable: Motion detection", always, oneValue("B"), 0,
     nullptr},
    {42, &ControllerImage::operatorEnableAnalog, " Operator enable: Analog values", rateSetupApplies,
     oneValue("B", rateSetupApplies), 0, nullptr},
    {45, &ControllerImage::groupQuantity, " Output group quantity", always, oneValue("B"), 0, nullptr},
    {47, &ControllerImage::enableInputQuantity, " Enable input quantity", always, oneValue("B"), 0, nullptr},
    {48, &ControllerImage::groupPositionMode, " Group position (Each=0, One=1)", always, oneValue("B"), 0, nullptr},
};

void writeSingleValue(const SingleValueBlock& b) {
    if (!b.written()) return;
    composeLine(textf(b.form.format, b.functionNumber, wrapAdd(image.*b.field, b.shownPlus)), b.comment);
}

void parseSingleValue(const SingleValueBlock& b) {
    if (!b.form.applies()) return;
    int32_t v[2];
    if (scanLine(b.form.format, v, 2) == 2) image.*b.field = wrapAdd(v[1], -b.shownPlus);
    if (b.afterParse != nullptr) b.afterParse();
}

// ---- blocks 17, 18, 19: one value per resolver

struct ResolverBlock {
    int functionNumber;
    int32_t (ControllerImage::*field)[kMaxResolvers];
    const char* twoResolverComment;
    const char* oneResolverComment;
    Condition written;
    LineForm oneResolver;   // the form on a model with one resolver
    LineForm twoResolvers;  // and with two, the resolver's number first
};

bool scaleFactorWritten() { return modelHasScaleFactor(image.model); }

constexpr ResolverBlock kResolverBlocks[] = {
    {17,
     &ControllerImage::rotationDirection,
     " Direction of rotation: Resolver #, 0=CCW/1=CW",
     " Direction of increasing rotation: 0=CCW, 1=CW",
     always,
     oneValue("B"),
     {blocks::kResolverValue, "iB", LineIndex::Resolver, always}},
    {18,
     &ControllerImage::scaleFactor,
     " Scale factor: Resolver #, Scale factor",
     " Scale factor",
     scaleFactorWritten,
     oneValue("W"),
     {blocks::kResolverValue, "iW", LineIndex::Resolver, always}},
    {19,
     &ControllerImage::shaftOffset,
     " Absolute offset: Resolver #, Offset",
     " Absolute offset",
     always,
     oneValue("W"),
     {blocks::kResolverValue, "iW", LineIndex::Resolver, always}},
};

void writeResolverBlock(const ResolverBlock* b) {
    if (!b->written()) return;
    const int32_t* values = image.*(b->field);
    if (modelHasTwoResolvers(image.model)) {
        for (int r = 0; r < kMaxResolvers; ++r) {
            composeLine(textf(b->twoResolvers.format, b->functionNumber, r + 1, values[r]), b->twoResolverComment);
        }
    } else {
        composeLine(textf(b->oneResolver.format, b->functionNumber, values[0]), b->oneResolverComment);
    }
}

void parseResolverBlock(const ResolverBlock* b) {
    int32_t* values = image.*(b->field);
    int32_t v[3];
    if (modelHasTwoResolvers(image.model)) {
        if (scanLine(b->twoResolvers.format, v, 3) < 3) return;
        int32_t r = fileIndex(v[1], kMaxResolvers);
        if (r >= 0) values[r] = v[2];
    } else if (scanLine(b->oneResolver.format, v, 2) == 2) {
        values[0] = v[1];
    }
}

// ---- blocks 35, 43, 44, 50: rows of eight channels

constexpr int kRowWidth = 8;

struct RowBlock {
    int functionNumber;
    int32_t (ControllerImage::*field)[kMaxChannels];
    const char* comment;  // printed with the first and last channel of the row
    int32_t fileEntries;  // entries the file can carry
    LineForm form;
};

constexpr LineForm rowForm(Condition applies = always) {
    return {blocks::kRowValues, "iBBBBBBBB", LineIndex::Row, applies};
}

constexpr RowBlock kRowBlocks[] = {
    {35, &ControllerImage::channelEnable, " Per chn enable: chns %i-%i; chn on/off", kMaxChannels, rowForm()},
    {43, &ControllerImage::motionAnding, " Motion ANDing: chns %i-%i; chn levels (0=none)", kMaxChannels, rowForm()},
    {44, &ControllerImage::outputEnableAnding, " Output enable ANDing: chns %i-%i; chn on/off", kMaxChannels,
     rowForm()},
    {50, &ControllerImage::inputEnableAnding, " Input enable ANDing: chns %i-%i; chn on/off", kInputAndingEntries,
     rowForm(blocks::shiftCountsApply)},
};

void writeRowBlock(const RowBlock* b) {
    const int32_t* values = image.*(b->field);
    // One row per started group of eight outputs (never beyond the array);
    // input enable ANDing always has its three rows.
    int32_t rows;
    if (b->functionNumber == 50) {
        rows = kInputAndingEntries / kRowWidth;
    } else {
        rows = image.outputQuantity < 1
                   ? 0
                   : std::min<int32_t>((image.outputQuantity - 1) / kRowWidth + 1, kMaxChannels / kRowWidth);
    }
    for (int32_t r = 0; r < rows; ++r) {
        const int32_t* e = values + r * kRowWidth;
        composeLine(textf(b->form.format, b->functionNumber, r + 1, e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]),
                    textf(b->comment, r * kRowWidth + 1, r * kRowWidth + kRowWidth));
    }
}

void parseRowBlock(const RowBlock* b) {
    int32_t v[2 + kRowWidth];
    int n = scanLine(b->form.format, v, 2 + kRowWidth);
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

// ---- function number -> its row, built once from the tables

struct BlockIndex {
    std::array<const SingleValueBlock*, kFunctionCount> single{};
    std::array<const ResolverBlock*, kFunctionCount> resolver{};
    std::array<const RowBlock*, kFunctionCount> row{};
    std::array<const blocks::OwnLayoutBlock*, kFunctionCount> ownLayout{};
    BlockIndex() {
        for (const auto& b : kSingleValueBlocks) single[static_cast<size_t>(b.functionNumber)] = &b;
        for (const auto& b : kResolverBlocks) resolver[static_cast<size_t>(b.functionNumber)] = &b;
        for (const auto& b : kRowBlocks) row[static_cast<size_t>(b.functionNumber)] = &b;
        for (int n = 0; n < kFunctionCount; ++n) ownLayout[static_cast<size_t>(n)] = blocks::ownLayoutBlock(n);
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
    } else if (const ResolverBlock* r = index.resolver[n]) {
        if (mode == kModeWriteLines) {
            writeResolverBlock(r);
        } else {
            parseResolverBlock(r);
        }
    } else if (const RowBlock* r = index.row[n]) {
        if (mode == kModeWriteLines) {
            writeRowBlock(r);
        } else {
            parseRowBlock(r);
        }
    } else if (const blocks::OwnLayoutBlock* s = index.ownLayout[n]) {
        if (mode == kModeWriteLines) {
            s->write();
        } else {
            s->parse(*lineForm(functionNumber));
        }
    }
}

const LineForm* lineForm(int32_t functionNumber) {
    if (functionNumber < 0 || functionNumber >= kFunctionCount) return nullptr;
    const BlockIndex& index = blockIndex();
    const auto n = static_cast<size_t>(functionNumber);
    if (const SingleValueBlock* b = index.single[n]) return &b->form;
    if (const ResolverBlock* r = index.resolver[n])
        return modelHasTwoResolvers(image.model) ? &r->twoResolvers : &r->oneResolver;
    if (const RowBlock* r = index.row[n]) return &r->form;
    if (const blocks::OwnLayoutBlock* s = index.ownLayout[n])
        return s->takesOther != nullptr && s->takesOther() ? &s->other : &s->form;
    return nullptr;
}
