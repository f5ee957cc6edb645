// The TVX Standard back-end. Every setting has a get request ("G") and a put
// request ("P") with the same fields; indexes and program numbers travel
// 0-based as the image holds them. Several blocks try one command first and
// fall back to another layout when the controller refuses it. The setpoints
// have a file of their own (tvx_setpoints.cpp).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/console_io.h"
#include "common/progress.h"
#include "handlers/block_report.h"
#include "handlers/function_handlers.h"
#include "handlers/setting_blocks.h"
#include "handlers/tvx_requests.h"
#include "image/controller_image.h"
#include "link/tvx.h"

namespace tvx_handler {

ExchangeResult transact(BlockFaults& faults, int command, const char* sendFormat, const char* receiveFormat,
                        Values& values) {
    auto send = [&] { return tvxTransaction(command, sendFormat, receiveFormat, values.v); };
    if (command == COM_ADD_SPT || command == COM_ADD_SPT_2 || command == COM_RESET) return faults.note(send());
    return repeatExchange(faults, send);
}

FirstLayout transactOrFallBack(BlockFaults& faults, int command, const char* sendFormat, const char* receiveFormat,
                               Values& values) {
    return fallbackProbe(faults, [&] { return tvxTransaction(command, sendFormat, receiveFormat, values.v); });
}

}  // namespace tvx_handler

namespace {

using namespace tvx_handler;

ExchangeResult moveTvxBlock(BlockFaults& faults, int mode, int functionNumber);

// ---- single settings ---------------------------------------------------------

ExchangeResult moveSetting(BlockFaults& faults, int mode, const SettingBlock& row) {
    const int fields = static_cast<int>(std::strlen(row.tvxFormat));
    Values values;
    if (mode == 0) {
        // Fields the reply does not reach keep what the image held.
        for (int i = 0; i < fields; ++i) values.v[i] = row.field[i];
        const ExchangeResult result = transact(faults, row.tvxCommand, row.identity ? "" : "G", row.tvxFormat, values);
        blockAbsent[row.function] = result.code;
        noteReadResult(faults, result, true);
        if (result.code == COM_OK)
            for (int i = 0; i < fields; ++i) row.field[i] = values.v[i];
        return result;
    }
    if (row.identity) return ExchangeResult{};
    char sendFormat[kValueCount] = "P";
    std::strncat(sendFormat, row.tvxFormat, sizeof sendFormat - 2);
    for (int i = 0; i < fields; ++i) values.v[i] = row.field[i];
    const ExchangeResult result = transact(faults, row.tvxCommand, sendFormat, "", values);
    noteWriteResult(result, row.function, -1, true);
    return result;
}

// ---- per-index blocks ----------------------------------------------------------

enum class Range { Channels, Groups };

struct Span {
    int begin = 0;
    int end = 0;
};

Span spanOf(Range range) {
    Span span;
    if (range == Range::Groups) {
        span.end = clampCount(image.groupQuantity, kMaxGroups);
        return span;
    }
    int32_t first = 0, last = -1;
    if (clampedChannelRange(first, last)) {
        span.begin = first;
        span.end = last + 1;
    }
    return span;
}

struct IndexedBlock {
    int function;
    int command;
    const char* getFormat;  // "GB": the index byte
    const char* replyFormat;
    const char* putFormat;  // index byte and the values
    Range range;
    int32_t* first;
    int32_t* second;  // the second word of "WW" blocks
};

// clang-format off
const IndexedBlock kIndexedBlocks[] = {
    { 7, COM_SPEED_COMP_VAL, "GB", "WW", "PBWW", Range::Channels, image.speedCompLeading,   image.speedCompTrailing },
    { 8, COM_TIME_DELAY,     "GB", "W",  "PBW",  Range::Channels, image.timedOutputDelay,   nullptr },
    { 9, COM_GROUP_OFFSET,   "GB", "W",  "PBW",  Range::Groups,   image.groupOffset,        nullptr },
    {35, COM_USER_PGM_ENAB,  "GB", "B",  "PBB",  Range::Channels, image.channelEnable,      nullptr },
    {43, COM_MOTION_ENAB,    "GB", "B",  "PBB",  Range::Channels, image.motionAnding,       nullptr },
    {44, COM_OUTPUT_ENAB,    "GB", "B",  "PBB",  Range::Channels, image.outputEnableAnding, nullptr },
};
// clang-format on

// Reads one element: the index goes out, one or two values come back into
// first[index] and second[index]. The result lands in blockAbsent[function].
ExchangeResult readElement(BlockFaults& faults, int function, int command, const char* replyFormat, int index,
                           int32_t* first, int32_t* second, bool firstRequest) {
    Values values;
    values.v[0] = index;
    const ExchangeResult result = transact(faults, command, "GB", replyFormat, values);
    blockAbsent[function] = result.code;
    noteReadResult(faults, result, firstRequest);
    if (result.code != COM_OK) return result;
    first[index] = values.v[0];
    if (second != nullptr) second[index] = values.v[1];
    return result;
}

ExchangeResult writeElement(BlockFaults& faults, int function, int command, const char* putFormat, int index,
                            int32_t first, int32_t second, bool firstRequest) {
    Values values;
    values.v[0] = index;
    values.v[1] = first;
    values.v[2] = second;
    const ExchangeResult result = transact(faults, command, putFormat, "", values);
    noteWriteResult(result, function, index, firstRequest);
    return result;
}

ExchangeResult moveIndexed(BlockFaults& faults, int mode, const IndexedBlock& block) {
    const Span span = spanOf(block.range);
    ExchangeResult result;
    for (int i = span.begin; i < span.end; ++i) {
        if (mode == 0) {
            result = readElement(faults, block.function, block.command, block.replyFormat, i, block.first,
                                 block.second, i == span.begin);
            if (result.code != COM_OK) return result;
        } else {
            result = writeElement(faults, block.function, block.command, block.putFormat, i, block.first[i],
                                  block.second ? block.second[i] : 0, i == span.begin);
            if (result.faulted()) return result;
        }
    }
    return result;
}

const IndexedBlock* findIndexedBlock(int function) {
    for (const IndexedBlock& block : kIndexedBlocks)
        if (block.function == function) return &block;
    return nullptr;
}

// ---- blocks with their own logic -------------------------------------------------

ExchangeResult command(BlockFaults& faults, int code) {
    Values values;
    return transact(faults, code, "", "", values);
}

// 0: restart (mode 0) or stop (mode 1). The reset is sent once: the
// transfer learns its effect before anything else.
ExchangeResult stopOrRestart(BlockFaults& faults, int mode) {
    const ExchangeResult result = command(faults, mode == 0 ? COM_RESET : COM_STOP);
    noteSequenceResult(faults, result);
    return result;
}

// 1: set the checksum before the restart.
ExchangeResult setChecksum(BlockFaults& faults, int mode) {
    if (mode != 1) return ExchangeResult{};
    const ExchangeResult result = command(faults, COM_CHECKSUM);
    noteSequenceResult(faults, result);
    return result;
}

// 5: the option list. The reply carries up to eight option numbers; the
// parser counts the checksum as one more field, which is not an option.
ExchangeResult optionList(BlockFaults& faults, int mode) {
    if (mode != 0) return ExchangeResult{};
    std::fill(std::begin(image.options), std::end(image.options), 0);
    Values values;
    const ExchangeResult result = transact(faults, COM_OPTIONS, "", "BBBBBBBB", values);
    blockAbsent[5] = result.code;
    noteReadResult(faults, result, true);
    if (result.code != COM_OK) return result;
    const int listed = std::min(replyFieldCount - 1, kValueCount);
    for (int i = 0; i < listed; ++i) {
        const int option = values.v[i];
        if (option >= 0 && option < kOptionCount) image.options[option] = 1;
    }
    return result;
}

// 6: the default program, as a bank of eight and a program within the bank,
// or as one word on controllers without banks.
ExchangeResult defaultProgram(BlockFaults& faults, int mode) {
    Values values;
    if (mode == 0) {
        const FirstLayout banks = transactOrFallBack(faults, COM_PGM_BANK, "G", "B", values);
        if (banks.result.code == COM_OK) {
            const int bank = values.v[0];
            const ExchangeResult result = transact(faults, COM_DEFAULT_PGM, "G", "B", values);
            blockAbsent[6] = result.code;
            noteReadResult(faults, result, false);
            if (result.code == COM_OK) image.defaultProgram = bank * 8 + values.v[0];
            return result;
        }
        values.v[0] = image.defaultProgram;
        const ExchangeResult result = transact(faults, COM_DEFAULT_PGM, "G", "W", values);
        blockAbsent[6] = result.code;
        noteReadResult(faults, result, banks.unknown);
        if (result.code == COM_OK) image.defaultProgram = values.v[0];
        return result;
    }
    values.v[0] = image.defaultProgram >> 3;
    const FirstLayout banks = transactOrFallBack(faults, COM_PGM_BANK, "PB", "", values);
    if (banks.result.code == COM_OK) {
        values.v[0] = image.defaultProgram & 7;
        const ExchangeResult result = transact(faults, COM_DEFAULT_PGM, "PB", "", values);
        noteWriteResult(result, 6, -1, false);
        return result;
    }
    values.v[0] = image.defaultProgram;
    const ExchangeResult result = transact(faults, COM_DEFAULT_PGM, "PW", "", values);
    noteWriteResult(result, 6, -1, banks.unknown);
    return result;
}

// 9: the group quantity is read first, then the offsets of that many groups.
ExchangeResult groupOffsets(BlockFaults& faults, int mode) {
    if (mode == 0) moveTvxBlock(faults, 0, 45);
    return moveIndexed(faults, mode, *findIndexedBlock(9));
}

// 10: analog outputs. Small models with the analog option have exactly one.
ExchangeResult analogOutputs(BlockFaults& faults, int mode) {
    if (mode == 0) moveTvxBlock(faults, 0, 20);
    int32_t quantity = image.analogQuantity;
    if (oneAnalogOutput(image.model, effectiveOptions)) {
        quantity = 1;
        if (mode == 0) image.analogQuantity = 1;
    } else if (quantity < 1) {
        return ExchangeResult{};
    }
    quantity = clampCount(quantity, kMaxAnalogOutputs);
    ExchangeResult result;
    for (int i = 0; i < quantity; ++i) {
        if (mode == 0) {
            result = readElement(faults, 10, COM_ANALOG, "WW", i, image.analogOffset, image.analogHighRpm, i == 0);
            if (result.code != COM_OK) return result;
        } else {
            result = writeElement(faults, 10, COM_ANALOG, "PBWW", i, image.analogOffset[i], image.analogHighRpm[i],
                                  i == 0);
            if (result.faulted()) return result;
        }
    }
    return result;
}

// 11: motion detection limits, one pair of words, or two levels addressed by
// an index on firmware that has them.
ExchangeResult motionLimits(BlockFaults& faults, int mode) {
    Values values;
    if (mode == 0) {
        values.v[0] = image.motionLowRpm[0];
        const FirstLayout single = transactOrFallBack(faults, COM_LOLIMIT, "G", "W", values);
        if (single.result.code == COM_OK) {
            image.motionLowRpm[0] = values.v[0];
            values.v[0] = image.motionHighRpm[0];
            const ExchangeResult result = transact(faults, COM_HILIMIT, "G", "W", values);
            blockAbsent[11] = result.code;
            noteReadResult(faults, result, false);
            if (result.code == COM_OK) image.motionHighRpm[0] = values.v[0];
            return result;
        }
        ExchangeResult result;
        for (int i = 0; i < kMaxMotionLevels; ++i) {
            result = readElement(faults, 11, COM_LOLIMIT_2, "W", i, image.motionLowRpm, nullptr,
                                 i == 0 && single.unknown);
            if (result.code != COM_OK) return result;
            result = readElement(faults, 11, COM_HILIMIT_2, "W", i, image.motionHighRpm, nullptr, false);
            if (result.code != COM_OK) return result;
        }
        return result;
    }
    values.v[0] = image.motionLowRpm[0];
    const FirstLayout single = transactOrFallBack(faults, COM_LOLIMIT, "PW", "", values);
    if (single.result.code == COM_OK) {
        values.v[0] = image.motionHighRpm[0];
        const ExchangeResult result = transact(faults, COM_HILIMIT, "PW", "", values);
        noteWriteResult(result, 11, -1, false);
        return result;
    }
    ExchangeResult result;
    for (int i = 0; i < kMaxMotionLevels; ++i) {
        result =
            writeElement(faults, 11, COM_LOLIMIT_2, "PBW", i, image.motionLowRpm[i], 0, i == 0 && single.unknown);
        if (result.faulted()) return result;
        result = writeElement(faults, 11, COM_HILIMIT_2, "PBW", i, image.motionHighRpm[i], 0, false);
        if (result.faulted()) return result;
    }
    return result;
}

// 27: rate display setup: multiplier and units, or all four fields on
// firmware with a divisor and a decimal point.
ExchangeResult rateSetup(BlockFaults& faults, int mode) {
    Values values;
    if (mode == 0) {
        const FirstLayout narrow = transactOrFallBack(faults, COM_RATE_SETUP, "G", "BB", values);
        if (narrow.result.code == COM_OK) {
            image.rateMultiplier = values.v[0];
            image.rateUnits = values.v[1];
            image.rateDivisor = 1;
            blockAbsent[27] = 0;
            return narrow.result;
        }
        values = Values{};
        const ExchangeResult result = transact(faults, COM_RATE_SETUP_2, "G", "WWBB", values);
        noteReadResult(faults, result, narrow.unknown);
        if (result.code == COM_OK) {
            image.rateMultiplier = values.v[0];
            image.rateDivisor = values.v[1];
            image.rateDecimalPoint = values.v[2];
            image.rateUnits = values.v[3];
            blockAbsent[27] = 0;
        }
        return result;
    }
    values.v[0] = image.rateMultiplier;
    values.v[1] = image.rateUnits;
    const FirstLayout narrow = transactOrFallBack(faults, COM_RATE_SETUP, "PBB", "", values);
    if (narrow.result.code == COM_OK) return narrow.result;
    values.v[0] = image.rateMultiplier;
    values.v[1] = image.rateDivisor;
    values.v[2] = image.rateDecimalPoint;
    values.v[3] = image.rateUnits;
    const ExchangeResult result = transact(faults, COM_RATE_SETUP_2, "PWWBB", "", values);
    noteWriteResult(result, 27, -1, narrow.unknown);
    return result;
}

// 46: per group, the channel count and the enable mode.
ExchangeResult groupSetup(BlockFaults& faults, int mode) {
    const Span span = spanOf(Range::Groups);
    ExchangeResult result;
    for (int g = span.begin; g < span.end; ++g) {
        if (mode == 0) {
            result = readElement(faults, 46, COM_GROUP_CHN_QTY, "B", g, image.groupChannelCount, nullptr,
                                 g == span.begin);
            if (result.code != COM_OK) return result;
            result = readElement(faults, 46, COM_ENABLE_MODE, "B", g, image.groupMode, nullptr, false);
            if (result.code != COM_OK) return result;
        } else {
            result = writeElement(faults, 46, COM_GROUP_CHN_QTY, "PBB", g, image.groupChannelCount[g], 0,
                                  g == span.begin);
            if (result.faulted()) return result;
            result = writeElement(faults, 46, COM_ENABLE_MODE, "PBB", g, image.groupMode[g], 0, false);
            if (result.faulted()) return result;
        }
    }
    return result;
}

// 50: input enable ANDing (one model only). The controller holds the channel
// as a signed byte one below the image's value: 0xFF for none. Only the
// image's entries travel, so channels beyond them are never touched.
ExchangeResult inputAnding(BlockFaults& faults, int mode) {
    if (!modelHasShiftCounts(image.model)) {
        blockAbsent[50] = 1;
        return ExchangeResult{};
    }
    int32_t first = 0, last = -1;
    if (!clampedChannelRange(first, last)) return ExchangeResult{};
    last = std::min<int32_t>(last, kInputAndingEntries - 1);
    ExchangeResult result;
    for (int ch = first; ch <= last; ++ch) {
        Values values;
        values.v[0] = ch;
        if (mode == 0) {
            result = transact(faults, COM_INPUT_AND, "GB", "B", values);
            blockAbsent[50] = result.code;
            noteReadResult(faults, result, ch == first);
            if (result.code != COM_OK) return result;
            image.inputEnableAnding[ch] = static_cast<int8_t>(values.v[0] & 0xFF) + 1;
        } else if (mode == 1) {
            values.v[1] = (image.inputEnableAnding[ch] - 1) & 0xFF;
            result = transact(faults, COM_INPUT_AND, "PBB", "", values);
            noteWriteResult(result, 50, ch, ch == first);
            if (result.faulted()) return result;
        }
    }
    return result;
}

// 51: shift register counts per program and channel (one model only). The
// channel range stops before lastChannel.
ExchangeResult shiftCounts(BlockFaults& faults, int mode) {
    if (!modelHasShiftCounts(image.model)) {
        blockAbsent[51] = 1;
        return ExchangeResult{};
    }
    if (mode != 0 && mode != 1) return ExchangeResult{};
    const int begin = std::max<int32_t>(firstChannel, 0);
    const int end = std::min<int32_t>(lastChannel, kShiftChannels);
    if (mode == 0) conPrintf("Getting shift counts (this may take a while) \n\r");
    ExchangeResult result;
    for (int p = 0; p < kShiftPrograms; ++p) {
        if (mode == 0) progress::shiftProgram(p);
        for (int c = begin; c < end; ++c) {
            Values values;
            values.v[0] = p;
            values.v[1] = c;
            int32_t& count = image.shiftRegisterCount[p][c];
            if (mode == 0) {
                result = transact(faults, COM_SHIFT_COUNT, "GBB", "W", values);
                blockAbsent[51] = result.code;
                noteReadResult(faults, result, p == 0 && c == begin);
                if (result.code != COM_OK) {
                    conPrintf("Error Getting shift counts!! \n\r");
                    return result;
                }
                count = values.v[0];
            } else if (count != 0) {
                values.v[2] = count + 1;
                result = transact(faults, COM_SHIFT_COUNT, "PBBW", "", values);
                noteWriteResult(result, 51, p * kShiftChannels + c, false);
                if (result.faulted()) return result;
            }
        }
    }
    return result;
}

ExchangeResult nothing(BlockFaults&, int) { return ExchangeResult{}; }

struct SpecialBlock {
    int function;
    ExchangeResult (*move)(BlockFaults& faults, int mode);
};

// Blocks 13 to 15 (the MODBUS mapping tables) have no TVX Standard commands.
const SpecialBlock kSpecialBlocks[] = {
    {0, stopOrRestart},
    {1, setChecksum},
    {5, optionList},
    {6, defaultProgram},
    {9, groupOffsets},
    {10, analogOutputs},
    {11, motionLimits},
    {13, nothing},
    {14, nothing},
    {15, nothing},
    {27, rateSetup},
    {46, groupSetup},
    {49, tvx_handler::setpointsBlock},
};

ExchangeResult moveTvxBlock(BlockFaults& faults, int mode, int functionNumber) {
    // The model check of blocks 50 and 51 applies in every mode.
    if (functionNumber == 50) return inputAnding(faults, mode);
    if (functionNumber == 51) return shiftCounts(faults, mode);
    if (mode != 0 && mode != 1) return ExchangeResult{};
    for (const SpecialBlock& special : kSpecialBlocks)
        if (special.function == functionNumber) return special.move(faults, mode);
    if (const IndexedBlock* block = findIndexedBlock(functionNumber)) return moveIndexed(faults, mode, *block);
    const SettingBlock* row = findSettingBlock(functionNumber);
    if (row != nullptr && row->tvxCommand >= 0) return moveSetting(faults, mode, *row);
    return ExchangeResult{};
}

}  // namespace

BlockResult tvxFunctionHandler(int mode, int functionNumber) {
    BlockFaults faults;
    moveTvxBlock(faults, mode, functionNumber);
    return blockResult(faults);
}
