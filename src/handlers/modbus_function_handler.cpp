// The MODBUS back-end: which holding registers and coils move which block.
// The controller keeps a cursor behind every index register, so the order of
// the transactions inside a block (index first, then the elements in order)
// is part of the protocol.
#include <algorithm>
#include <cstdint>

#include "common/console_io.h"
#include "common/progress.h"
#include "handlers/block_report.h"
#include "handlers/exchange_rules.h"
#include "handlers/function_handlers.h"
#include "handlers/setting_blocks.h"
#include "image/controller_image.h"
#include "link/modbus.h"

namespace {

constexpr int kReadHolding = 3;
constexpr int kWriteCoil = 5;
constexpr int kWriteMultiple = 16;
// A record the image could not store breaks the block like a spoiled reply.
constexpr ExchangeResult kUnstorable{-1, ExchangeKind::Spoiled};

ExchangeResult readRegisters(int reg, int count, int* values) {
    return modbusTransaction(kReadHolding, reg, count, values);
}
ExchangeResult writeRegisters(int reg, int count, int* values) {
    return modbusTransaction(kWriteMultiple, reg, count, values);
}

// Registers behind a cursor, and the restart, are sent once; a fault is the
// block's, which is then done again from its start.
ExchangeResult readOnce(BlockFaults& faults, int reg, int count, int* values) {
    return faults.note(readRegisters(reg, count, values));
}
ExchangeResult writeOnce(BlockFaults& faults, int reg, int count, int* values) {
    return faults.note(writeRegisters(reg, count, values));
}

// Requests that address their registers absolutely are repeated after a
// reply the line lost or spoiled. Registers behind a cursor are not: a block
// that uses them is done again from its start (handlers/exchange_rules.h).
ExchangeResult readRepeated(BlockFaults& faults, int reg, int count, int* values) {
    return repeatExchange(faults, [&] { return readRegisters(reg, count, values); });
}
ExchangeResult writeRepeated(BlockFaults& faults, int reg, int count, int* values) {
    return repeatExchange(faults, [&] { return writeRegisters(reg, count, values); });
}
ExchangeResult writeRegister(BlockFaults& faults, int reg, int value) {
    int values[1] = {value};
    return writeRepeated(faults, reg, 1, values);
}
ExchangeResult writeCoil(BlockFaults& faults, int coil, int value) {
    int values[1] = {value};
    return repeatExchange(faults, [&] { return modbusTransaction(kWriteCoil, coil, 1, values); });
}

// One register <-> one field; a read clears blockAbsent[function] on success.
ExchangeResult moveRegister(BlockFaults& faults, int mode, int function, int reg, int32_t& field, int offset = 0,
                            bool first = true) {
    int values[1] = {0};
    if (mode == 0) {
        const ExchangeResult result = readRepeated(faults, reg, 1, values);
        if (result.code == 0) {
            field = values[0] - offset;
            blockAbsent[function] = 0;
        }
        noteReadResult(faults, result, first);
        return result;
    }
    values[0] = field + offset;
    const ExchangeResult result = writeRepeated(faults, reg, 1, values);
    noteWriteResult(result, function, -1, first);
    return result;
}

ExchangeResult moveSetting(BlockFaults& faults, int mode, const SettingBlock& row) {
    if (row.identity && mode != 0) return ExchangeResult{};
    return moveRegister(faults, mode, row.function, row.modbusRegister, *row.field, row.modbusOffset);
}

// ---- indexed blocks -------------------------------------------------------

enum class Range { Channels, Groups, AnalogOutputs, MotionLevels, Options };

// Elements [begin, end) of a block, already bounded by the image's arrays, and
// the value the index register receives.
struct Span {
    int begin = 0;
    int end = 0;
    int start = 1;
};

Span spanOf(Range range) {
    Span span;
    switch (range) {
        case Range::Channels: {
            int32_t first = 0, last = -1;
            if (clampedChannelRange(first, last)) {
                span.begin = first;
                span.end = last + 1;
                span.start = first + 1;
            } else {
                span.start = firstChannel + 1;
            }
            break;
        }
        case Range::Groups: span.end = clampCount(image.groupQuantity, kMaxGroups); break;
        case Range::AnalogOutputs: span.end = clampCount(image.analogQuantity, kMaxAnalogOutputs); break;
        case Range::MotionLevels: span.end = kMaxMotionLevels; break;
        case Range::Options: span.end = kOptionCount; break;
    }
    return span;
}

struct IndexedBlock {
    int function;
    int indexRegister;
    int dataRegister;  // one register per element, or two when `second` is set
    Range range;
    int32_t* first;
    int32_t* second;
    bool writeIndexOnly;  // mode 1 sets the cursor and sends nothing else
};

// clang-format off
const IndexedBlock kIndexedBlocks[] = {
    { 5, 303, 304, Range::Options,       image.options,            nullptr,                  true  },
    { 7, 273, 274, Range::Channels,      image.speedCompLeading,   image.speedCompTrailing,  false },
    { 8, 277, 278, Range::Channels,      image.timedOutputDelay,   nullptr,                  false },
    { 9, 280, 281, Range::Groups,        image.groupOffset,        nullptr,                  false },
    {10, 287, 288, Range::AnalogOutputs, image.analogOffset,       image.analogHighRpm,      false },
    {11, 283, 284, Range::MotionLevels,  image.motionLowRpm,       image.motionHighRpm,      false },
    {35, 329, 330, Range::Channels,      image.channelEnable,      nullptr,                  false },
    {43, 332, 333, Range::Channels,      image.motionAnding,       nullptr,                  false },
    {44, 334, 335, Range::Channels,      image.outputEnableAnding, nullptr,                  false },
    {46, 337, 338, Range::Groups,        image.groupChannelCount,  image.groupMode,          false },
};
// clang-format on

// Reads elements [from, span.end) of a block from its data register(s),
// storing each result in blockAbsent[resultFunction] and stopping at the
// first failure; the values of a failed read are not stored. The cursor
// advances with every read, so nothing here is repeated.
ExchangeResult readElements(BlockFaults& faults, const IndexedBlock& block, const Span& span, int resultFunction) {
    const int count = block.second ? 2 : 1;
    ExchangeResult result;
    for (int i = span.begin; i < span.end; ++i) {
        int values[2] = {0, 0};
        result = readOnce(faults, block.dataRegister, count, values);
        blockAbsent[resultFunction] = result.code;
        noteReadResult(faults, result, false);
        if (result.code != 0) break;
        block.first[i] = values[0];
        if (block.second) block.second[i] = values[1];
    }
    return result;
}

ExchangeResult moveIndexed(BlockFaults& faults, int mode, const IndexedBlock& block) {
    const Span span = spanOf(block.range);
    ExchangeResult result = writeRegister(faults, block.indexRegister, span.start);
    if (mode == 0) {
        if (result.code != 0) {
            blockAbsent[block.function] = result.code;
            noteReadResult(faults, result, true);
            return result;
        }
        return readElements(faults, block, span, block.function);
    }
    if (!blockStarted(faults, result, block.function) || block.writeIndexOnly) return result;
    const int count = block.second ? 2 : 1;
    for (int i = span.begin; i < span.end; ++i) {
        int values[2] = {block.first[i], block.second ? block.second[i] : 0};
        result = writeOnce(faults, block.dataRegister, count, values);
        if (result.code == 0) continue;
        if (result.faulted()) return result;  // the block is written again
        noteWriteResult(result, block.function, i, false);
        // Whether a refused value moved the cursor is the controller's
        // secret: put it on the next element.
        if (i + 1 < span.end) {
            const ExchangeResult cursor =
                writeRegister(faults, block.indexRegister, span.start + (i + 1 - span.begin));
            if (cursor.code != 0) {
                noteSequenceResult(faults, cursor);
                return result;
            }
        }
    }
    return result;
}

const IndexedBlock* findIndexedBlock(int function) {
    for (const IndexedBlock& block : kIndexedBlocks)
        if (block.function == function) return &block;
    return nullptr;
}

// ---- blocks with their own logic -------------------------------------------

// 0: stop (mode 1) and restart (mode 0) through register 340. A restart
// reboots the controller: it is sent once, and the transfer learns its
// effect before anything else.
ExchangeResult stopOrRestart(BlockFaults& faults, int mode) {
    int values[1] = {0};
    const ExchangeResult result = mode == 1 ? writeRegister(faults, 340, 1) : writeOnce(faults, 340, 1, values);
    noteSequenceResult(faults, result);
    return result;
}

// 1: reading register 341 makes the controller set its checksum.
ExchangeResult setChecksum(BlockFaults& faults, int mode) {
    if (mode != 1) return ExchangeResult{};
    int values[1] = {0};
    const ExchangeResult result = readRepeated(faults, 341, 1, values);
    noteSequenceResult(faults, result);
    return result;
}

ExchangeResult moveModbusBlock(BlockFaults& faults, int mode, int functionNumber);

// 9: the group quantity is read first, then the offsets of that many groups.
ExchangeResult groupOffsets(BlockFaults& faults, int mode) {
    if (mode == 0) moveModbusBlock(faults, 0, 45);
    return moveIndexed(faults, mode, *findIndexedBlock(9));
}

// 20: the analog quantity; a read goes on with the analog pairs, the
// controller's analog cursor standing where the quantity read left it.
ExchangeResult analogQuantity(BlockFaults& faults, int mode) {
    const ExchangeResult result = moveSetting(faults, mode, *findSettingBlock(20));
    if (mode != 0 || result.code != 0) return result;
    Span span = spanOf(Range::AnalogOutputs);
    // Read again after a fault, the cursor stands wherever the fault left it.
    if (blockReport.redo) {
        const ExchangeResult cursor = writeRegister(faults, 287, 1);
        if (cursor.code != 0) return cursor;
    }
    // A failed pair leaves block 10 absent, so the upload reads it again
    // through its index register. With every pair read (none at all when the
    // unit has no analog outputs) block 10 is complete.
    const ExchangeResult pairs = readElements(faults, *findIndexedBlock(10), span, 10);
    if (pairs.code == 0) blockAbsent[10] = 0;
    return pairs;
}

// 27: the four rate setup registers in one transaction.
ExchangeResult rateSetup(BlockFaults& faults, int mode) {
    int32_t* fields[4] = {&image.rateMultiplier, &image.rateDivisor, &image.rateDecimalPoint, &image.rateUnits};
    int values[4] = {0, 0, 0, 0};
    if (mode == 0) {
        const ExchangeResult result = readRepeated(faults, 318, 4, values);
        noteReadResult(faults, result, true);
        if (result.code != 0) return result;
        for (int i = 0; i < 4; ++i) *fields[i] = values[i];
        blockAbsent[27] = 0;
        return result;
    }
    for (int i = 0; i < 4; ++i) values[i] = *fields[i];
    const ExchangeResult result = writeRepeated(faults, 318, 4, values);
    noteWriteResult(result, 27, -1, true);
    return result;
}

// 28: toggle rpm, and the rpm update rate once more (register 323 of block 29).
ExchangeResult toggleRpm(BlockFaults& faults, int mode) {
    moveSetting(faults, mode, *findSettingBlock(28));
    return moveRegister(faults, mode, 28, 323, image.rpmUpdateRate, 0, false);
}

// 36: the seven operator enables packed into register 331, bit k belonging
// to block 36 + k.
int32_t* const kOperatorEnables[7] = {
    &image.operatorEnableSetpoints,    &image.operatorEnableDefaultProgram, &image.operatorEnableSpeedComp,
    &image.operatorEnableTimedOutputs, &image.operatorEnableOffsets,        &image.operatorEnableMotion,
    &image.operatorEnableAnalog,
};

ExchangeResult operatorEnables(BlockFaults& faults, int mode) {
    int values[1] = {0};
    if (mode == 0) {
        const ExchangeResult result = readRepeated(faults, 331, 1, values);
        noteReadResult(faults, result, true);
        if (result.code != 0) return result;
        for (int k = 0; k < 7; ++k) {
            *kOperatorEnables[k] = (values[0] >> k) & 1;
            blockAbsent[36 + k] = 0;
        }
        return result;
    }
    for (int k = 0; k < 7; ++k)
        if (*kOperatorEnables[k] != 0) values[0] |= 1 << k;
    const ExchangeResult result = writeRepeated(faults, 331, 1, values);
    noteWriteResult(result, 36, -1, true);
    return result;
}

// 15: the register mapping table. Five fields per record travel in
// registers 1..5; slots are numbered from 1. The record window and the slot
// registers are absolute, so each record may be repeated on its own.
ExchangeResult mappings(BlockFaults& faults, int mode) {
    int values[5] = {0, 0, 0, 0, 0};
    if (mode == 1) {
        ExchangeResult result = writeRegister(faults, 297, 0);
        if (!blockStarted(faults, result, 15)) return result;
        const int count = clampCount(image.mappingCount, kMaxMappings);
        for (int i = 0; i < count; ++i) {
            const MappingRecord& m = image.mappings[i];
            int fields[5] = {m.type, m.register_, m.target, m.pulseChannel, m.pulseNumber};
            result = writeRepeated(faults, 1, 5, fields);
            if (result.code != 0) {
                noteSequenceResult(faults, result);
                return result;
            }
            result = writeRegister(faults, 298, i + 1);
            if (result.faulted()) return result;
            noteWriteResult(result, 15, i, false);
        }
        return result;
    }
    if (image.mapLimit == 0) return ExchangeResult{};
    // A read starts from an empty table, so reading it again never doubles it.
    image.mappingCount = 0;
    blockAbsent[15] = 0;
    // The slot register holds 16 bits; no controller has more slots.
    const int slots = clampCount(image.mapLimit, 0xFFFF);
    ExchangeResult result;
    for (int slot = 1; slot <= slots && image.mappingCount < kMaxMappings; ++slot) {
        result = repeatExchange(faults, [&] {
            const ExchangeResult selected = writeRegisters(299, 1, &slot);
            return selected.code != 0 ? selected : readRegisters(1, 5, values);
        });
        if (result.code != 0) {
            // A slot that could not be read makes the whole table unusable.
            blockAbsent[15] = result.code;
            noteReadResult(faults, result, slot == 1);
            break;
        }
        if (values[0] == 0) continue;
        image.mappings[image.mappingCount++] = {values[0], values[1], values[2], values[3], values[4]};
    }
    return result;
}

// 49: the setpoints. Program and channel travel 1-based. Loading appends and
// reading advances a cursor: after a fault the block is done again from its
// start (count reset and loading coil, or the cursor set to 1).
ExchangeResult setpointsBlock(BlockFaults& faults, int mode) {
    int values[5] = {0, 0, 0, 0, 0};
    if (mode == 1) {
        ExchangeResult result = writeRegister(faults, 262, 0);
        if (!blockStarted(faults, result, 49)) return result;
        result = writeCoil(faults, 302, 1);
        if (result.code != 0) {
            noteSequenceResult(faults, result);
            return result;
        }
        // Only records that exist are sent, whatever the count says.
        const size_t count = std::min(static_cast<size_t>(std::max<int32_t>(setpointCount, 0)), setpoints.size());
        for (size_t i = 0; i < count; ++i) {
            progress::setpoint(static_cast<int>(i), static_cast<int>(count));
            const SetpointRecord& s = setpoints[i];
            int where[2] = {s.program + 1, s.channel + 1};
            result = writeRepeated(faults, 264, 2, where);
            if (result.code != 0) {
                noteSequenceResult(faults, result);
                break;
            }
            int positions[2] = {s.on, s.off};
            result = writeOnce(faults, 269, 2, positions);
            if (result.faulted()) break;
            noteWriteResult(result, 49, static_cast<int>(i), false);
        }
        progress::endSetpoints(static_cast<int>(count), result.code == 0);
        return result;
    }
    if (setpointCount <= 0) return ExchangeResult{};
    auto store = [&](int32_t index) {
        return storeSetpoint(index, {values[0] - 1, values[1] - 1, values[3], values[4]});
    };
    ExchangeResult result = writeRegister(faults, 264, 1);
    noteReadResult(faults, result, true);
    if (result.code == 0) {
        result = readOnce(faults, 264, 5, values);
        noteReadResult(faults, result, false);
    }
    int32_t index = 0;
    // The first read after setting the cursor may be an empty record that
    // does not count; a record with a position in it is record 0.
    if (result.code == 0 && (values[3] != 0 || values[4] != 0)) {
        if (store(0)) {
            index = 1;
        } else {
            result = kUnstorable;
            faults.broken = true;
        }
    }
    while (result.code == 0 && index < setpointCount) {
        progress::setpoint(index, setpointCount);
        result = readOnce(faults, 264, 5, values);
        noteReadResult(faults, result, false);
        if (result.code == 0 && !store(index)) {
            result = kUnstorable;
            faults.broken = true;
        }
        ++index;
    }
    progress::endSetpoints(setpointCount, result.code == 0);
    // A setpoint that could not be read leaves the whole block absent.
    blockAbsent[49] = result.code;
    return result;
}

struct SpecialBlock {
    int function;
    ExchangeResult (*move)(BlockFaults& faults, int mode);
};

const SpecialBlock kSpecialBlocks[] = {
    {0, stopOrRestart}, {1, setChecksum}, {9, groupOffsets},     {15, mappings},       {20, analogQuantity},
    {27, rateSetup},    {28, toggleRpm},  {36, operatorEnables}, {49, setpointsBlock},
};

ExchangeResult moveModbusBlock(BlockFaults& faults, int mode, int functionNumber) {
    if (mode != 0 && mode != 1) return ExchangeResult{};
    for (const SpecialBlock& special : kSpecialBlocks)
        if (special.function == functionNumber) return special.move(faults, mode);
    if (const IndexedBlock* block = findIndexedBlock(functionNumber)) return moveIndexed(faults, mode, *block);
    const SettingBlock* row = findSettingBlock(functionNumber);
    if (row != nullptr && row->modbusRegister != 0) return moveSetting(faults, mode, *row);
    return ExchangeResult{};  // not carried by MODBUS: nothing is sent
}

}  // namespace

BlockResult modbusFunctionHandler(int mode, int functionNumber) {
    BlockFaults faults;
    moveModbusBlock(faults, mode, functionNumber);
    return blockResult(faults);
}
