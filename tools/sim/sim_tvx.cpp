// The controller's side of TVX Standard: the command table. A request is
// "!", unit (2 hex), command (2 hex), data, checksum (2 hex), CR; a reply is
// a kind character ("A" positive, "N" negative), data, checksum, CR.
#include <cstdint>
#include <string>

#include "link/tvx.h"
#include "sim.h"
#include "sim_frames.h"

namespace sim {

namespace {

constexpr int kMaxFields = 8;

struct TvxCall {
    bool put = false;
    int32_t index[2] = {};
    int32_t in[kMaxFields] = {};
    int32_t out[kMaxFields] = {};
    std::string replyFormat;  // the reply's fields; a command may change it
};

// Plain: the request's data are exactly the `request` fields and the reply
// carries the `reply` fields. Setting: the data begin with "G" (get: index
// fields; reply: value fields) or "P" (put: index fields, then value fields;
// empty reply).
enum class Form { Plain, Setting };

using FieldFn = int32_t* (*)(const int32_t* index, int k);
using ServeFn = int (*)(TvxCall& call);

struct TvxRow {
    int code;
    Form form;
    const char* request;  // Plain: request fields; Setting: index fields
    const char* reply;    // Plain: reply fields; Setting: value fields
    bool writable;        // Setting: the "P" form exists
    FieldFn field;        // Setting: the image field of value k (nullptr: index out of range)
    ServeFn serve;        // own logic instead of `field`
    bool (*available)();  // nullptr: every model and firmware
    int32_t limit = 0;    // largest value a put accepts; 0: what the field width holds
};

int32_t widthMask(char letter) { return letter == 'W' ? 0xFFFF : 0xFF; }

int32_t* channel(int32_t* array, int32_t i) { return i >= 0 && i < channelCount() ? &array[i] : nullptr; }
int32_t* group(int32_t* array, int32_t i) { return i >= 0 && i < kMaxGroups ? &array[i] : nullptr; }
int32_t* pair(int32_t* array, int32_t i) { return i >= 0 && i < 2 ? &array[i] : nullptr; }

// ---- commands with their own logic

int serveModel(TvxCall& c) {
    c.out[0] = image.model;
    return COM_OK;
}

int serveRevision(TvxCall& c) {
    c.out[0] = image.firmwareRevision;
    return COM_OK;
}

int serveChannelQuantity(TvxCall& c) {
    c.out[0] = image.outputQuantity;
    return COM_OK;
}

int serveOptions(TvxCall& c) {
    c.replyFormat.clear();
    for (int i = 0; i < kOptionCount && c.replyFormat.size() < kMaxFields; ++i) {
        if (image.options[i] != 0) {
            c.out[c.replyFormat.size()] = i;
            c.replyFormat += 'B';
        }
    }
    return COM_OK;
}

int serveStop(TvxCall&) {
    state.stopped = true;
    return COM_OK;
}

int serveStart(TvxCall&) {
    state.stopped = false;
    return COM_OK;
}

int serveChecksum(TvxCall&) {
    state.saveRequested = true;
    return COM_OK;
}

int serveReset(TvxCall&) {
    state.stopped = false;
    state.rebootRequested = true;
    state.saveRequested = true;
    return COM_OK;
}

int serveWipeSetpoints(TvxCall&) {
    clearSetpoints();
    return COM_OK;
}

int serveGetSetpoint(TvxCall& c) {
    const int32_t i = c.in[0];
    if (i < 0 || i >= setpointCount || static_cast<size_t>(i) >= setpoints.size()) return COM_BAD_DATA;
    const SetpointRecord& r = setpoints[static_cast<size_t>(i)];
    c.out[0] = r.program;
    c.out[1] = r.channel;
    c.out[2] = r.on;
    c.out[3] = r.off;
    return COM_OK;
}

int serveAddSetpoint(TvxCall& c) {
    if (c.in[1] >= channelCount()) return COM_BAD_DATA;
    return appendSetpoint({c.in[0], c.in[1], c.in[2], c.in[3]}) ? COM_OK : COM_BAD_DATA;
}

// With the program bank the default program travels as bank (program / 8)
// and program within the bank; without it as one word (a plain setting).
int serveProgramInBank(TvxCall& c) {
    if (!c.put) {
        c.out[0] = image.defaultProgram & 7;
        return COM_OK;
    }
    if (c.in[0] > 7) return COM_BAD_DATA;
    image.defaultProgram = (image.defaultProgram & ~7) | c.in[0];
    return COM_OK;
}

int serveProgramBank(TvxCall& c) {
    if (c.put)
        image.defaultProgram = c.in[0] * 8 + (image.defaultProgram & 7);
    else
        c.out[0] = image.defaultProgram >> 3;
    return COM_OK;
}

// The narrow rate setup knows multiplier and units only.
int serveRateSetup(TvxCall& c) {
    if (c.put) {
        image.rateMultiplier = c.in[0];
        image.rateUnits = c.in[1];
        image.rateDivisor = 1;
    } else {
        c.out[0] = image.rateMultiplier;
        c.out[1] = image.rateUnits;
    }
    return COM_OK;
}

// Input enable ANDing travels as (channel number - 1) in a signed byte:
// 0xFF for no ANDing, 0 for channel 1.
int serveInputAnd(TvxCall& c) {
    int32_t* entry = channel(image.inputEnableAnding, c.index[0]);
    if (entry == nullptr) return COM_BAD_DATA;
    if (c.put)
        *entry = static_cast<int8_t>(static_cast<uint8_t>(c.in[0])) + 1;
    else
        c.out[0] = *entry - 1;
    return COM_OK;
}

bool hasPgmBank() { return !options.noPgmBank; }
bool lacksPgmBank() { return options.noPgmBank; }
bool hasWideSetpoints() { return !options.narrowSetpoints; }
bool hasNarrowRate() { return !options.rateSetup2; }
bool hasWideRate() { return options.rateSetup2; }
bool hasPlainLimits() { return !options.indexedMotionLimits; }
bool hasIndexedLimits() { return options.indexedMotionLimits; }
bool isModel4444() { return modelHasShiftCounts(image.model); }

#define ONE(expr) [](const int32_t*, int) -> int32_t* { return &(expr); }

const TvxRow kCommands[] = {
    // identity and configuration, read only
    {COM_MODEL, Form::Plain, "", "W", false, nullptr, serveModel, nullptr},
    {COM_CHANNEL_QTY, Form::Plain, "", "B", false, nullptr, serveChannelQuantity, nullptr},
    {COM_OPTIONS, Form::Plain, "", "", false, nullptr, serveOptions, nullptr},
    {COM_REVISION, Form::Plain, "", "W", false, nullptr, serveRevision, nullptr},
    // actions
    {COM_STOP, Form::Plain, "", "", false, nullptr, serveStop, nullptr},
    {COM_CHECKSUM, Form::Plain, "", "", false, nullptr, serveChecksum, nullptr},
    {COM_START, Form::Plain, "", "", false, nullptr, serveStart, nullptr},
    {COM_RESET, Form::Plain, "", "", false, nullptr, serveReset, nullptr},
    {COM_WIPE_SPT, Form::Plain, "", "", false, nullptr, serveWipeSetpoints, nullptr},
    // setpoints
    {COM_SPT_COUNT, Form::Setting, "", "W", false, ONE(setpointCount), nullptr, nullptr},
    {COM_GET_SPT, Form::Plain, "W", "BBWW", false, nullptr, serveGetSetpoint, nullptr},
    {COM_ADD_SPT, Form::Plain, "BBWW", "", false, nullptr, serveAddSetpoint, nullptr},
    {COM_GET_SPT_2, Form::Plain, "W", "WBWW", false, nullptr, serveGetSetpoint, hasWideSetpoints},
    {COM_ADD_SPT_2, Form::Plain, "WBWW", "", false, nullptr, serveAddSetpoint, hasWideSetpoints},
    // one byte settings
    {COM_INC_DIRECTION, Form::Setting, "", "B", true, ONE(image.rotationDirection[0]), nullptr, nullptr},
    {COM_TIMER_SPEED, Form::Setting, "", "B", true, ONE(image.timeBase), nullptr, nullptr},
    {COM_SPEED_COMP_MODE, Form::Setting, "", "B", true, ONE(image.speedCompMode), nullptr, nullptr},
    {COM_GROUP_QTY, Form::Setting, "", "B", true, ONE(image.groupQuantity), nullptr, nullptr, kMaxGroups},
    {COM_ENABLE_QTY, Form::Setting, "", "B", true, ONE(image.enableInputQuantity), nullptr, nullptr},
    {COM_DEF_DISP, Form::Setting, "", "B", true, ONE(image.defaultDisplay), nullptr, nullptr},
    {COM_EACH_FLAG, Form::Setting, "", "B", true, ONE(image.groupPositionMode), nullptr, nullptr},
    {COM_RPMCNT_SPEED, Form::Setting, "", "B", true, ONE(image.rpmUpdateRate), nullptr, nullptr},
    {COM_EN_SP, Form::Setting, "", "B", true, ONE(image.operatorEnableSetpoints), nullptr, nullptr},
    {COM_EN_MD, Form::Setting, "", "B", true, ONE(image.operatorEnableMotion), nullptr, nullptr},
    {COM_EN_OF, Form::Setting, "", "B", true, ONE(image.operatorEnableOffsets), nullptr, nullptr},
    {COM_EN_AP, Form::Setting, "", "B", true, ONE(image.operatorEnableDefaultProgram), nullptr, nullptr},
    {COM_EN_SC, Form::Setting, "", "B", true, ONE(image.operatorEnableSpeedComp), nullptr, nullptr},
    {COM_EN_TO, Form::Setting, "", "B", true, ONE(image.operatorEnableTimedOutputs), nullptr, nullptr},
    {COM_EN_AN, Form::Setting, "", "B", true, ONE(image.operatorEnableAnalog), nullptr, nullptr},
    {COM_OFFSET_MODE, Form::Setting, "", "B", true, ONE(image.groupPositionDisplayMode), nullptr, nullptr},
    {COM_ANALOG_QTY, Form::Setting, "", "B", true, ONE(image.analogQuantity), nullptr, nullptr, kMaxAnalogOutputs},
    {COM_RESOLVER_TYPE, Form::Setting, "", "B", true, ONE(image.resolverType), nullptr, nullptr},
    {COM_PGM_SEL_MODE, Form::Setting, "", "B", true, ONE(image.programSelectMode), nullptr, nullptr},
    {COM_GRAY_LEVEL, Form::Setting, "", "B", true, ONE(image.grayOutputLevel), nullptr, nullptr},
    {COM_KBD_QTY, Form::Setting, "", "B", true, ONE(image.keyboardQuantity), nullptr, nullptr},
    // one word settings
    {COM_SETUP_ID_CODE, Form::Setting, "", "W", true, ONE(image.setupId), nullptr, nullptr},
    {COM_OPERATOR_ID_CODE, Form::Setting, "", "W", true, ONE(image.operatorId), nullptr, nullptr},
    {COM_SCALE_FACTOR, Form::Setting, "", "W", true, ONE(image.scaleFactor[0]), nullptr, nullptr},
    {COM_LOLIMIT, Form::Setting, "", "W", true, ONE(image.motionLowRpm[0]), nullptr, hasPlainLimits},
    {COM_HILIMIT, Form::Setting, "", "W", true, ONE(image.motionHighRpm[0]), nullptr, hasPlainLimits},
    {COM_TOG_RPM, Form::Setting, "", "W", true, ONE(image.toggleRpm), nullptr, nullptr},
    {COM_SHAFT_OFFSET, Form::Setting, "", "W", true, ONE(image.shaftOffset[0]), nullptr, nullptr},
    {COM_MASTER_ID, Form::Setting, "", "W", true, ONE(image.masterId), nullptr, nullptr},
    {COM_GRAY_COMP, Form::Setting, "", "W", true, ONE(image.grayCodeSpeedComp), nullptr, nullptr},
    // the default program, with or without the bank of eight
    {COM_DEFAULT_PGM, Form::Setting, "", "B", true, nullptr, serveProgramInBank, hasPgmBank},
    {COM_DEFAULT_PGM, Form::Setting, "", "W", true, ONE(image.defaultProgram), nullptr, lacksPgmBank},
    {COM_PGM_BANK, Form::Setting, "", "B", true, nullptr, serveProgramBank, hasPgmBank},
    // several fields
    {COM_RATE_SETUP, Form::Setting, "", "BB", true, nullptr, serveRateSetup, hasNarrowRate},
    {COM_TERM_RES, Form::Setting, "", "BB", true,
     [](const int32_t*, int k) { return &image.terminationResistor[k]; }, nullptr, nullptr},
    {COM_RATE_SETUP_2, Form::Setting, "", "WWBB", true,
     [](const int32_t*, int k) {
         int32_t* const fields[] = {&image.rateMultiplier, &image.rateDivisor, &image.rateDecimalPoint,
                                    &image.rateUnits};
         return fields[k];
     },
     nullptr, hasWideRate},
    // per channel
    {COM_USER_PGM_ENAB, Form::Setting, "B", "B", true,
     [](const int32_t* i, int) { return channel(image.channelEnable, i[0]); }, nullptr, nullptr},
    {COM_MOTION_ENAB, Form::Setting, "B", "B", true,
     [](const int32_t* i, int) { return channel(image.motionAnding, i[0]); }, nullptr, nullptr},
    {COM_OUTPUT_ENAB, Form::Setting, "B", "B", true,
     [](const int32_t* i, int) { return channel(image.outputEnableAnding, i[0]); }, nullptr, nullptr},
    {COM_INPUT_AND, Form::Setting, "B", "B", true, nullptr, serveInputAnd, isModel4444},
    {COM_TIME_DELAY, Form::Setting, "B", "W", true,
     [](const int32_t* i, int) { return channel(image.timedOutputDelay, i[0]); }, nullptr, nullptr},
    {COM_SPEED_COMP_VAL, Form::Setting, "B", "WW", true,
     [](const int32_t* i, int k) { return channel(k == 0 ? image.speedCompLeading : image.speedCompTrailing, i[0]); },
     nullptr, nullptr},
    // per group, analog output, detection level
    {COM_GROUP_CHN_QTY, Form::Setting, "B", "B", true,
     [](const int32_t* i, int) { return group(image.groupChannelCount, i[0]); }, nullptr, nullptr},
    {COM_ENABLE_MODE, Form::Setting, "B", "B", true,
     [](const int32_t* i, int) { return group(image.groupMode, i[0]); }, nullptr, nullptr},
    {COM_GROUP_OFFSET, Form::Setting, "B", "W", true,
     [](const int32_t* i, int) { return group(image.groupOffset, i[0]); }, nullptr, nullptr},
    {COM_ANALOG, Form::Setting, "B", "WW", true,
     [](const int32_t* i, int k) { return pair(k == 0 ? image.analogOffset : image.analogHighRpm, i[0]); },
     nullptr, nullptr},
    {COM_LOLIMIT_2, Form::Setting, "B", "W", true,
     [](const int32_t* i, int) { return pair(image.motionLowRpm, i[0]); }, nullptr, hasIndexedLimits},
    {COM_HILIMIT_2, Form::Setting, "B", "W", true,
     [](const int32_t* i, int) { return pair(image.motionHighRpm, i[0]); }, nullptr, hasIndexedLimits},
    // per program and channel
    {COM_SHIFT_COUNT, Form::Setting, "BB", "W", true,
     [](const int32_t* i, int) -> int32_t* {
         if (i[0] < 0 || i[0] >= kShiftPrograms || i[1] < 0 || i[1] >= kShiftChannels) return nullptr;
         return &image.shiftRegisterCount[i[0]][i[1]];
     },
     nullptr, isModel4444},
};

#undef ONE

// The row of a command as this model and firmware know it; nothing for an
// unknown command and for one the model or firmware lacks.
const TvxRow* findCommand(int code) {
    for (const TvxRow& row : kCommands) {
        if (row.code == code && (row.available == nullptr || row.available())) return &row;
    }
    return nullptr;
}

// Reads the fields of `format` from `data` at `at` into `out`; false when a
// field is missing or not hex.
bool readFields(const std::string& data, size_t& at, const char* format, int32_t* out) {
    for (int k = 0; format[k] != '\0'; ++k) {
        const size_t width = format[k] == 'W' ? 4 : 2;
        const int value = hexField(data, at, width);
        if (value < 0) return false;
        out[k] = value;
        at += width;
    }
    return true;
}

// The generic get and put of a Setting row.
int accessFields(const TvxRow& row, TvxCall& c) {
    for (int k = 0; row.reply[k] != '\0'; ++k) {
        int32_t* field = row.field(c.index, k);
        if (field == nullptr) return COM_BAD_DATA;
        if (!c.put) {
            c.out[k] = *field;
            continue;
        }
        if (row.limit > 0 && c.in[k] > row.limit) return COM_BAD_DATA;
    }
    if (c.put) {
        for (int k = 0; row.reply[k] != '\0'; ++k) *row.field(c.index, k) = c.in[k];
    }
    return COM_OK;
}

std::string withChecksum(char kind, const std::string& data) {
    int sum = 0;
    for (char ch : data) sum += static_cast<unsigned char>(ch);
    std::string out(1, kind);
    out += data;
    appendHex(out, static_cast<unsigned>((0x100 - (sum & 0xFF)) & 0xFF), 2);
    out += '\r';
    return out;
}

std::string negative(int code) {
    std::string data;
    appendHex(data, static_cast<unsigned>(code), 2);
    return withChecksum('N', data);
}

int execute(const TvxRow& row, const std::string& data, TvxCall& c) {
    size_t at = 0;
    if (row.form == Form::Setting) {
        if (data.empty() || (data[0] != 'G' && data[0] != 'P')) return COM_BAD_DATA;
        c.put = data[0] == 'P';
        if (c.put && !row.writable) return COM_BAD_COMMAND;
        at = 1;
        if (!readFields(data, at, row.request, c.index)) return COM_BAD_DATA;
        if (c.put && !readFields(data, at, row.reply, c.in)) return COM_BAD_DATA;
        c.replyFormat = c.put ? "" : row.reply;
    } else {
        if (!readFields(data, at, row.request, c.in)) return COM_BAD_DATA;
        c.replyFormat = row.reply;
    }
    if (at != data.size()) return COM_BAD_DATA;
    return row.serve != nullptr ? row.serve(c) : accessFields(row, c);
}

}  // namespace

std::optional<std::string> serveTvx(const std::string& line) {
    if (line.size() < 8 || line[0] != '!' || line.back() != '\r') return std::nullopt;
    const std::string body = line.substr(1, line.size() - 2);  // without "!" and CR
    const int unit = hexField(body, 0, 2);
    if (unit != options.unit) return std::nullopt;
    const int command = hexField(body, 2, 2);
    const int checksum = hexField(body, body.size() - 2, 2);
    int sum = 0;
    for (size_t i = 0; i + 2 < body.size(); ++i) sum += static_cast<unsigned char>(body[i]);
    if (command < 0 || checksum < 0 || ((sum + checksum) & 0xFF) != 0) return negative(COM_BAD_BUFFER);

    const TvxRow* row = findCommand(command);
    if (row == nullptr) return negative(COM_BAD_COMMAND);
    TvxCall call;
    const int result = execute(*row, body.substr(4, body.size() - 6), call);
    if (result != COM_OK) return negative(result);
    std::string data;
    for (size_t k = 0; k < call.replyFormat.size(); ++k) {
        const char letter = call.replyFormat[k];
        appendHex(data, static_cast<unsigned>(call.out[k] & widthMask(letter)), letter == 'W' ? 4 : 2);
    }
    return withChecksum('A', data);
}

std::string tvxRefusal(int code) { return negative(code); }

std::string corruptReply(const std::string& reply) {
    // The two checksum digits stand before the line end (CR, or CR LF).
    std::string out = reply;
    size_t end = out.size();
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n')) --end;
    if (end < 2) return out;
    const int value = hexField(out, end - 2, 2);
    if (value < 0) return out;
    char digits[4];
    formatHex(digits, static_cast<unsigned>(value + 1), 2);
    out[end - 2] = digits[0];
    out[end - 1] = digits[1];
    return out;
}

}  // namespace sim
