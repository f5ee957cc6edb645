// The controller's side of MODBUS ASCII: the holding register map and the
// coils, as tables. Register numbers are 1-based (wire address + 1); every
// register carries 16 bits.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "link/modbus_ascii.h"
#include "sim.h"
#include "sim_frames.h"

namespace sim {

namespace {

// Exception codes.
constexpr int kIllegalFunction = 1;
constexpr int kIllegalAddress = 2;
constexpr int kIllegalValue = 3;
constexpr int kDeviceFailure = 4;

constexpr int kMaxReadCount = 125;
constexpr int kMaxWriteCount = 123;

int32_t word(int32_t value) { return value & 0xFFFF; }

// ---- single registers: one image field each

// The slot register holds 16 bits: no map limit goes beyond it.
constexpr int32_t kMaxSlots = 0xFFFF;

struct SingleRegister {
    int reg;
    int32_t* (*field)();
    int32_t offset;  // register = field + offset
    bool writable;
    int32_t limit;  // largest field value accepted on a write; 0: any 16-bit value
};

const SingleRegister kSingleRegisters[] = {
    // Registers 1..5: the mapping record window (type, register, target,
    // pulse channel, pulse number), stored into a slot by 298 and filled
    // from one by 299.
    {1, [] { return &state.staging.type; }, 0, true, 0},
    {2, [] { return &state.staging.register_; }, 0, true, 0},
    {3, [] { return &state.staging.target; }, 0, true, 0},
    {4, [] { return &state.staging.pulseChannel; }, 0, true, 0},
    {5, [] { return &state.staging.pulseNumber; }, 0, true, 0},
    {271, [] { return &image.defaultProgram; }, 1, true, 0},
    {296, [] { return &image.mapLimit; }, 0, true, kMaxSlots},
    {300, [] { return &image.model; }, 0, false, 0},
    {301, [] { return &image.firmwareRevision; }, 0, false, 0},
    {302, [] { return &image.outputQuantity; }, 0, false, 0},
    {305, [] { return &image.keyboardQuantity; }, 0, true, 0},
    {306, [] { return &image.rotationDirection[0]; }, 0, true, 0},
    {307, [] { return &image.scaleFactor[0]; }, 0, true, 0},
    {311, [] { return &image.resolverType; }, 0, true, 0},
    {312, [] { return &image.programSelectMode; }, 0, true, 0},
    {314, [] { return &image.timeBase; }, 0, true, 0},
    {317, [] { return &image.defaultDisplay; }, 0, true, 0},
    {322, [] { return &image.toggleRpm; }, 0, true, 0},
    {323, [] { return &image.rpmUpdateRate; }, 0, true, 0},
    {324, [] { return &image.speedCompMode; }, 0, true, 0},
    {325, [] { return &image.groupPositionDisplayMode; }, 0, true, 0},
    {326, [] { return &image.operatorId; }, 0, true, 0},
    {327, [] { return &image.setupId; }, 0, true, 0},
    {328, [] { return &image.masterId; }, 0, true, 0},
    {336, [] { return &image.groupQuantity; }, 0, true, kMaxGroups},
};

// ---- indexed blocks: an index register sets a cursor (1-based); each access
// of the data register(s) moves one element and advances the cursor.

struct IndexedBlock {
    int indexReg;
    int dataReg;
    int width;          // data registers per element
    int (*elements)();  // how many elements exist
    int32_t* (*field)(int element, int k);
    bool writable;
};

const IndexedBlock kIndexedBlocks[] = {
    {303, 304, 1, [] { return kOptionCount; }, [](int i, int) { return &image.options[i]; }, false},
    {273, 274, 2, channelCount,
     [](int i, int k) { return k == 0 ? &image.speedCompLeading[i] : &image.speedCompTrailing[i]; }, true},
    {277, 278, 1, channelCount, [](int i, int) { return &image.timedOutputDelay[i]; }, true},
    {280, 281, 1, [] { return kMaxGroups; }, [](int i, int) { return &image.groupOffset[i]; }, true},
    {287, 288, 2, [] { return kMaxAnalogOutputs; },
     [](int i, int k) { return k == 0 ? &image.analogOffset[i] : &image.analogHighRpm[i]; }, true},
    {283, 284, 2, [] { return kMaxMotionLevels; },
     [](int i, int k) { return k == 0 ? &image.motionLowRpm[i] : &image.motionHighRpm[i]; }, true},
    {329, 330, 1, channelCount, [](int i, int) { return &image.channelEnable[i]; }, true},
    {332, 333, 1, channelCount, [](int i, int) { return &image.motionAnding[i]; }, true},
    {334, 335, 1, channelCount, [](int i, int) { return &image.outputEnableAnding[i]; }, true},
    {337, 338, 2, [] { return kMaxGroups; },
     [](int i, int k) { return k == 0 ? &image.groupChannelCount[i] : &image.groupMode[i]; }, true},
};
static_assert(std::size(kIndexedBlocks) <= kIndexedBlockCount);

int blockNumber(const IndexedBlock& block) { return static_cast<int>(&block - kIndexedBlocks); }

int& cursorOf(int dataReg) {
    for (const IndexedBlock& block : kIndexedBlocks) {
        if (block.dataReg == dataReg) return state.cursors[blockNumber(block)];
    }
    static int none = 0;
    return none;
}

// ---- registers with their own logic

using ReadFn = int (*)(int32_t* out);
using WriteFn = int (*)(const int32_t* in);

struct SpecialRegister {
    int reg;
    int size;
    ReadFn read;
    WriteFn write;
};

int writeMappingClear(const int32_t* in) {
    if (in[0] != 0) return kIllegalValue;
    for (MappingRecord& slot : state.slots) slot = MappingRecord{};
    imageFromSlots();
    return 0;
}

int writeMappingStore(const int32_t* in) {
    if (in[0] < 1 || in[0] > kMaxMappings || state.staging.type < 1 || state.staging.type > 7) return kIllegalValue;
    state.slots[in[0] - 1] = state.staging;
    imageFromSlots();
    return 0;
}

int readSelectedSlot(int32_t* out) {
    out[0] = state.selectedSlot;
    return 0;
}

// Selecting a slot shows its record in registers 1..5 (type 0: empty). The
// controller has as many slots as its map limit says, and at least those
// that can hold a record; the slots past those are always empty.
int writeSelectedSlot(const int32_t* in) {
    const int32_t slots = std::clamp<int32_t>(image.mapLimit, kMaxMappings, kMaxSlots);
    if (in[0] < 1 || in[0] > slots) return kIllegalValue;
    state.selectedSlot = in[0];
    state.staging = in[0] <= kMaxMappings ? state.slots[in[0] - 1] : MappingRecord{};
    return 0;
}

int readSetpointCount(int32_t* out) {
    out[0] = word(setpointCount);
    return 0;
}

// 0 clears every setpoint: the start of a setpoint download.
int writeSetpointCount(const int32_t* in) {
    if (in[0] != 0) return kIllegalValue;
    clearSetpoints();
    state.stagedSetpoint = false;
    state.setpointReadCursor = 0;
    return 0;
}

// 264 alone: the read cursor, 1-based. The controller answers the first read
// after it with an empty record when --dummy-first-read is given.
int writeSetpointCursor(const int32_t* in) {
    if (in[0] < 1 || in[0] - 1 > setpointCount) return kIllegalValue;
    state.setpointReadCursor = in[0] - 1;
    state.dummyPending = options.dummyFirstRead;
    return 0;
}

// 264..268: program + 1, channel + 1, unused, on, off of the record at the
// cursor; the cursor advances.
int readSetpointRecord(int32_t* out) {
    const int index = state.setpointReadCursor;
    if (index < 0 || index >= setpointCount || static_cast<size_t>(index) >= setpoints.size()) {
        return kIllegalValue;
    }
    const SetpointRecord& r = setpoints[static_cast<size_t>(index)];
    out[0] = word(r.program + 1);
    out[1] = word(r.channel + 1);
    out[2] = 0;
    if (state.dummyPending) {
        state.dummyPending = false;
        out[3] = out[4] = 0;
        return 0;
    }
    out[3] = word(r.on);
    out[4] = word(r.off);
    ++state.setpointReadCursor;
    return 0;
}

// 264-265: program + 1, channel + 1 of the setpoint being loaded.
int writeSetpointStage(const int32_t* in) {
    if (in[0] < 1 || in[1] < 1 || in[1] > channelCount()) return kIllegalValue;
    state.stagedProgram = in[0] - 1;
    state.stagedChannel = in[1] - 1;
    state.stagedSetpoint = true;
    return 0;
}

// 269-270: on, off; appends the setpoint staged by 264-265.
int writeSetpointAppend(const int32_t* in) {
    if (!state.stagedSetpoint) return kIllegalValue;
    state.stagedSetpoint = false;
    if (!appendSetpoint({state.stagedProgram, state.stagedChannel, in[0], in[1]})) return kDeviceFailure;
    return 0;
}

int readAnalogQuantity(int32_t* out) {
    out[0] = word(image.analogQuantity);
    // The analog pairs can be read straight after the quantity, without an
    // index write: the controller starts them at the first output.
    cursorOf(288) = 0;
    return 0;
}

int writeAnalogQuantity(const int32_t* in) {
    if (in[0] > kMaxAnalogOutputs) return kIllegalValue;
    image.analogQuantity = in[0];
    return 0;
}

int readRate(int32_t* out) {
    out[0] = word(image.rateMultiplier);
    out[1] = word(image.rateDivisor);
    out[2] = word(image.rateDecimalPoint);
    out[3] = word(image.rateUnits);
    return 0;
}

int writeRate(const int32_t* in) {
    image.rateMultiplier = in[0];
    image.rateDivisor = in[1];
    image.rateDecimalPoint = in[2];
    image.rateUnits = in[3];
    return 0;
}

int32_t* const kOperatorEnables[] = {
    &image.operatorEnableSetpoints,    &image.operatorEnableDefaultProgram, &image.operatorEnableSpeedComp,
    &image.operatorEnableTimedOutputs, &image.operatorEnableOffsets,        &image.operatorEnableMotion,
    &image.operatorEnableAnalog,
};

int readOperatorEnables(int32_t* out) {
    int32_t packed = 0;
    for (int k = 0; k < 7; ++k) {
        if (*kOperatorEnables[k] != 0) packed |= 1 << k;
    }
    out[0] = packed;
    return 0;
}

int writeOperatorEnables(const int32_t* in) {
    if (in[0] > 0x7F) return kIllegalValue;
    for (int k = 0; k < 7; ++k) *kOperatorEnables[k] = (in[0] >> k) & 1;
    return 0;
}

int readRunState(int32_t* out) {
    out[0] = state.stopped ? 1 : 0;
    return 0;
}

// 1 stops the controller; 0 restarts it, which reboots it.
int writeRunState(const int32_t* in) {
    if (in[0] == 1) {
        state.stopped = true;
        return 0;
    }
    if (in[0] != 0) return kIllegalValue;
    state.stopped = false;
    state.rebootRequested = true;
    state.saveRequested = true;
    return 0;
}

// Reading the checksum register makes the controller set its checksum: the
// end of a download's writes.
int readChecksum(int32_t* out) {
    out[0] = imageChecksum();
    state.saveRequested = true;
    return 0;
}

int readMapVersion(int32_t* out) {
    if (options.mapVersion < 0) return kIllegalAddress;
    out[0] = options.mapVersion;
    return 0;
}

const SpecialRegister kSpecialRegisters[] = {
    {262, 1, readSetpointCount, writeSetpointCount},
    {264, 1, nullptr, writeSetpointCursor},
    {264, 2, nullptr, writeSetpointStage},
    {264, 5, readSetpointRecord, nullptr},
    {269, 2, nullptr, writeSetpointAppend},
    {297, 1, nullptr, writeMappingClear},
    {298, 1, nullptr, writeMappingStore},
    {299, 1, readSelectedSlot, writeSelectedSlot},
    {310, 1, readAnalogQuantity, writeAnalogQuantity},
    {318, 4, readRate, writeRate},
    {331, 1, readOperatorEnables, writeOperatorEnables},
    {340, 1, readRunState, writeRunState},
    {341, 1, readChecksum, nullptr},
    {9999, 1, readMapVersion, nullptr},
};

// ---- coils

struct Coil {
    int number;
    bool* flag;
};

const Coil kCoils[] = {
    {302, &state.loading},
    {314, &state.coil314},
    {316, &state.coil316},
};

// ---- one access of a request: a register group resolved from the tables

enum class Kind { Special, Single, IndexRegister, DataRegister };

struct Access {
    Kind kind;
    const void* row;
    int size;
};

bool findAccess(int reg, int remaining, bool write, Access& out) {
    const SpecialRegister* best = nullptr;
    for (const SpecialRegister& row : kSpecialRegisters) {
        if (row.reg != reg || row.size > remaining || (write ? row.write == nullptr : row.read == nullptr)) continue;
        if (best == nullptr || row.size > best->size) best = &row;
    }
    if (best != nullptr) {
        out = {Kind::Special, best, best->size};
        return true;
    }
    for (const SingleRegister& row : kSingleRegisters) {
        if (row.reg == reg && (!write || row.writable)) {
            out = {Kind::Single, &row, 1};
            return true;
        }
    }
    for (const IndexedBlock& row : kIndexedBlocks) {
        if (row.indexReg == reg) {
            out = {Kind::IndexRegister, &row, 1};
            return true;
        }
        if (row.dataReg == reg && row.width <= remaining && (!write || row.writable)) {
            out = {Kind::DataRegister, &row, row.width};
            return true;
        }
    }
    return false;
}

int readAccess(const Access& a, int32_t* out) {
    switch (a.kind) {
        case Kind::Special: return static_cast<const SpecialRegister*>(a.row)->read(out);
        case Kind::Single: {
            const auto* row = static_cast<const SingleRegister*>(a.row);
            out[0] = word(*row->field() + row->offset);
            return 0;
        }
        case Kind::IndexRegister: {
            const auto* row = static_cast<const IndexedBlock*>(a.row);
            out[0] = state.cursors[blockNumber(*row)] + 1;
            return 0;
        }
        case Kind::DataRegister: {
            const auto* row = static_cast<const IndexedBlock*>(a.row);
            int& cursor = state.cursors[blockNumber(*row)];
            if (cursor < 0 || cursor >= row->elements()) return kIllegalValue;
            for (int k = 0; k < row->width; ++k) out[k] = word(*row->field(cursor, k));
            ++cursor;
            return 0;
        }
    }
    return kIllegalAddress;
}

int writeAccess(const Access& a, const int32_t* in) {
    switch (a.kind) {
        case Kind::Special: return static_cast<const SpecialRegister*>(a.row)->write(in);
        case Kind::Single: {
            const auto* row = static_cast<const SingleRegister*>(a.row);
            const int32_t value = in[0] - row->offset;
            if (value < 0 || (row->limit > 0 && value > row->limit)) return kIllegalValue;
            *row->field() = value;
            return 0;
        }
        case Kind::IndexRegister: {
            const auto* row = static_cast<const IndexedBlock*>(a.row);
            if (in[0] < 1 || in[0] > row->elements()) return kIllegalValue;
            state.cursors[blockNumber(*row)] = in[0] - 1;
            return 0;
        }
        case Kind::DataRegister: {
            const auto* row = static_cast<const IndexedBlock*>(a.row);
            int& cursor = state.cursors[blockNumber(*row)];
            if (cursor < 0 || cursor >= row->elements()) return kIllegalValue;
            for (int k = 0; k < row->width; ++k) *row->field(cursor, k) = in[k];
            ++cursor;
            return 0;
        }
    }
    return kIllegalAddress;
}

// Resolves a request's registers into accesses; false when one of them does
// not exist (nothing has been done then).
bool planAccesses(int firstReg, int count, bool write, std::vector<Access>& plan) {
    int reg = firstReg;
    int remaining = count;
    while (remaining > 0) {
        Access a{};
        if (!findAccess(reg, remaining, write, a)) return false;
        plan.push_back(a);
        reg += a.size;
        remaining -= a.size;
    }
    return true;
}

// ---- frames

std::string frame(const std::vector<int>& bytes) {
    std::vector<uint8_t> octets;
    octets.reserve(bytes.size());
    for (int b : bytes) octets.push_back(static_cast<uint8_t>(b & 0xFF));
    return modbus_ascii::encode(octets);
}

std::string exceptionReply(int fc, int code) { return frame({options.unit, fc | 0x80, code}); }

int u16(const std::vector<int>& bytes, size_t at) { return bytes[at] << 8 | bytes[at + 1]; }

std::string readRegisters(int fc, const std::vector<int>& req) {
    if (req.size() != 6) return exceptionReply(fc, kIllegalValue);
    const int reg = u16(req, 2) + 1;
    const int count = u16(req, 4);
    if (count < 1 || count > kMaxReadCount) return exceptionReply(fc, kIllegalValue);
    std::vector<Access> plan;
    if (!planAccesses(reg, count, false, plan)) return exceptionReply(fc, kIllegalAddress);
    std::vector<int32_t> values(static_cast<size_t>(count));
    size_t at = 0;
    for (const Access& a : plan) {
        const int code = readAccess(a, &values[at]);
        if (code != 0) return exceptionReply(fc, code);
        at += static_cast<size_t>(a.size);
    }
    std::vector<int> reply = {options.unit, fc, 2 * count};
    for (int32_t v : values) {
        reply.push_back((v >> 8) & 0xFF);
        reply.push_back(v & 0xFF);
    }
    return frame(reply);
}

std::string writeRegisters(int fc, const std::vector<int>& req) {
    if (req.size() < 9) return exceptionReply(fc, kIllegalValue);
    const int reg = u16(req, 2) + 1;
    const int count = u16(req, 4);
    const int byteCount = req[6];
    if (count < 1 || count > kMaxWriteCount || byteCount != 2 * count ||
        req.size() != 7 + static_cast<size_t>(byteCount)) {
        return exceptionReply(fc, kIllegalValue);
    }
    std::vector<int32_t> values(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) values[static_cast<size_t>(i)] = u16(req, 7 + 2 * static_cast<size_t>(i));
    std::vector<Access> plan;
    if (!planAccesses(reg, count, true, plan)) return exceptionReply(fc, kIllegalAddress);
    size_t at = 0;
    for (const Access& a : plan) {
        const int code = writeAccess(a, &values[at]);
        if (code != 0) return exceptionReply(fc, code);
        at += static_cast<size_t>(a.size);
    }
    return frame({options.unit, fc, req[2], req[3], req[4], req[5]});
}

std::string writeCoil(int fc, const std::vector<int>& req) {
    if (req.size() != 6) return exceptionReply(fc, kIllegalValue);
    const int number = u16(req, 2) + 1;
    const int value = u16(req, 4);
    if (value != 0xFF00 && value != 0x0000) return exceptionReply(fc, kIllegalValue);
    for (const Coil& coil : kCoils) {
        if (coil.number == number) {
            *coil.flag = value == 0xFF00;
            return frame({options.unit, fc, req[2], req[3], req[4], req[5]});
        }
    }
    return exceptionReply(fc, kIllegalAddress);
}

struct FunctionRow {
    int code;
    std::string (*serve)(int fc, const std::vector<int>& request);
};

const FunctionRow kFunctions[] = {
    {3, readRegisters},
    {5, writeCoil},
    {16, writeRegisters},
};

}  // namespace

std::optional<std::string> serveModbus(const std::string& line) {
    // ':' hex pairs CR LF (a frame whose CR is missing is taken all the
    // same); a frame that is not well formed, whose LRC is wrong or that is
    // for another unit gets no answer.
    if (line.empty() || line.back() != '\n') return std::nullopt;
    std::string text = line;
    if (text.size() < 2 || text[text.size() - 2] != '\r') text.insert(text.size() - 1, "\r");
    const modbus_ascii::Decoded decoded = modbus_ascii::decode(text);
    if (decoded.fault != modbus_ascii::Fault::None || decoded.message.unit != options.unit) return std::nullopt;
    std::vector<int> bytes = {decoded.message.unit, decoded.message.function};
    bytes.insert(bytes.end(), decoded.message.data.begin(), decoded.message.data.end());
    const int fc = bytes[1];
    for (const FunctionRow& row : kFunctions) {
        if (row.code == fc) return row.serve(fc, bytes);
    }
    return exceptionReply(fc, kIllegalFunction);
}

std::string modbusRefusal(const std::string& line, int code) {
    const int fc = line.size() >= 5 ? hexField(line, 3, 2) : 0;
    return exceptionReply(fc < 0 ? 0 : fc & 0x7F, code);
}

}  // namespace sim
