#include "link/tvx.h"

#include <cstdint>
#include <iterator>
#include <string>

#include "common/settings.h"
#include "link/exchange_health.h"
#include "link/hex.h"
#include "link/resync.h"
#include "link/serial_port.h"

int replyFieldCount = 0;

namespace {

constexpr int kLineBufferSize = 256;
// Replies of this many characters or more before the CR are refused.
constexpr int kMaxReplyText = 128;

const char* const kCommandNames[COM_CMD_CNT + 1] = {
    "COM_MODEL",
    "COM_CHANNEL_QTY",
    "COM_OPTIONS",
    "COM_REVISION",
    "COM_HELLO",
    "COM_KBD_CTRL",
    "COM_STOP",
    "COM_CHECKSUM",
    "COM_START",
    "COM_RESET",
    "COM_RPM",
    "COM_POSITION",
    "COM_RACK_STATUS",
    "COM_SETUP_ID_CODE",
    "COM_OPERATOR_ID_CODE",
    "COM_USER_PGM_ENAB",
    "COM_MOTION_ENAB",
    "COM_DIRTN_AND",
    "COM_INC_DIRECTION",
    "COM_SCALE_FACTOR",
    "COM_TIMER_SPEED",
    "COM_LOLIMIT",
    "COM_HILIMIT",
    "COM_TIME_DELAY",
    "COM_DEFAULT_PGM",
    "COM_PGM_BANK",
    "COM_SPEED_COMP_MODE",
    "COM_SPEED_COMP_VAL",
    "COM_ANALOG",
    "COM_GROUP_QTY",
    "COM_GROUP_OFFSET",
    "COM_GROUP_CHN_QTY",
    "COM_ENABLE_QTY",
    "COM_ENABLE_MODE",
    "COM_SPT_COUNT",
    "COM_WIPE_SPT",
    "COM_GET_SPT",
    "COM_ADD_SPT",
    "COM_DEL_SPT",
    "COM_MOD_SPT",
    "COM_INC_SPT",
    "COM_DEC_SPT",
    "COM_KEY_PRESS",
    "COM_EN_MOT_SPT",
    "COM_EN_OFFSET",
    "COM_EN_ACT_PGM",
    "COM_EN_SPD_COMP",
    "COM_EN_TIMED_CHN",
    "COM_DEF_DISP",
    "COM_TOG_RPM",
    "COM_EN_SPT_IN_MOT",
    "COM_EN_MULT_PULSES",
    "COM_EN_INC_DEC",
    "COM_EN_PULSE_MODE",
    "COM_EN_CHN_80_81",
    "COM_CYC_PER_REV",
    "COM_SHAFT_POS",
    "COM_OFFSET_VAL",
    "COM_EACH_FLAG",
    "COM_84_ENAB",
    "COM_SHAFT_OFFSET",
    "COM_GET_SPT_2",
    "COM_ADD_SPT_2",
    "COM_BAR_GAP_OFFSET",
    "COM_RPMCNT_SPEED",
    "COM_EN_SP",
    "COM_EN_MD",
    "COM_EN_OF",
    "COM_EN_AP",
    "COM_EN_SC",
    "COM_EN_TO",
    "COM_OUTPUT_ENAB",
    "COM_LOLIMIT_2",
    "COM_HILIMIT_2",
    "COM_OFFSET_MODE",
    "COM_ANALOG_QTY",
    "COM_RESOLVER_TYPE",
    "COM_PGM_SEL_MODE",
    "COM_SPEED_COMP_UNITS",
    "COM_PRESET_VAL",
    "COM_PRESET_EDGE",
    "COM_SHREG_COUNT",
    "COM_SHIFT_LIMIT",
    "COM_SHIFT_INCREMENT",
    "COM_GRAY_LEVEL",
    "COM_RAMP_LIMIT",
    "COM_KBD_QTY",
    "COM_RATE_SETUP",
    "COM_MASTER_ID",
    "COM_INPUT_AND",
    "COM_SHIFT_COUNT",
    "COM_GET_SPT_BY_IDX",
    "COM_DEL_SPT_BY_IDX",
    "COM_FIRMWARE",
    "COM_PROG_MEM",
    "COM_GRAY_COMP",
    "COM_RATE_SETUP_2",
    "COM_TERM_RES",
    "COM_DEL_SPT_2",
    "COM_MOD_SPT_2",
    "COM_INC_SPT_2",
    "COM_DEC_SPT_2",
    "COM_EEPROM_CHANGED",
    "COM_ANALOG_2",
    "COM_TIME",
    nullptr,
    nullptr,
    nullptr,
    "COM_EN_AN",
    "COM_CMD_CNT",
};

const char* const kResultNames[COM_KBD_CONFLICT + 1] = {
    "COM_OK",          "COM_BAD_BUFFER",     "COM_NOT_OUR_ADDRESS", "COM_BAD_COMMAND",
    "COM_BAD_DATA",    "COM_NOT_IN_MOTION",  "COM_2_MANY_TIMERS",   "COM_NOT_AN_OPTION",
    "COM_NOT_STOPPED", "COM_BAD_FORMAT",     "COM_TIMEOUT",         "COM_BAD_KEY",
    "COM_FLASH_ERROR", "COM_BAD_PGM_NUMBER", "COM_BAD_CHN_NUMBER",  "COM_KBD_CONFLICT",
};

char requestLine[kLineBufferSize];
char replyLine[kLineBufferSize];

// Builds the request line; its length, or 0 for a send format the table
// does not know (or one too long for the line buffer).
int buildRequest(int command, const char* sendFormat, const int* values) {
    // Room kept after the data: checksum, CR and NUL.
    constexpr int kDataEnd = kLineBufferSize - 4;
    char* at = requestLine;
    *at++ = '!';
    at = formatHex(at, static_cast<unsigned>(commSettings.unitAddress), 2);
    at = formatHex(at, static_cast<unsigned>(command), 2);
    int next = 0;
    for (const char* letter = sendFormat; *letter; ++letter) {
        if (at - requestLine > kDataEnd - 4) return 0;
        switch (*letter) {
            case 'B': at = formatHex(at, static_cast<unsigned>(values[next++]), 2); break;
            case 'W': at = formatHex(at, static_cast<unsigned>(values[next++]), 4); break;
            case 'C': *at++ = static_cast<char>(values[next++] & 0xFF); break;
            case 'G':
            case 'P': *at++ = *letter; break;
            default: return 0;
        }
    }
    unsigned sum = 0;
    for (const char* c = requestLine + 1; c < at; ++c) sum += static_cast<uint8_t>(*c);
    at = formatHex(at, (0x100 - (sum & 0xFF)) & 0xFF, 2);
    *at++ = '\r';
    *at = '\0';
    return static_cast<int>(at - requestLine);
}

// Receives one reply into replyLine: its length up to and including the
// final character, or -1 after more than the time-out of silence (or once
// `deadline` has passed, when it is not 0).
int receiveReply(int64_t deadline = 0) {
    int length = 0;
    while (length < kLineBufferSize) {
        const int64_t waitStart = serialPort.nowMicros();
        uint8_t byte = 0;
        while (!serialPort.readByte(byte)) {
            const int64_t now = serialPort.nowMicros();
            if ((now - waitStart) / 1000 > kTvxTimeoutMs || (deadline != 0 && now > deadline) || replyAbandoned())
                return -1;
        }
        replyLine[length++] = static_cast<char>(byte);
        if (byte == '\r' || byte >= 0x80) break;
    }
    return length;
}

// True when the `textLength` characters before the CR of replyLine carry a
// checksum that adds up (three or more characters).
bool checksumHolds(int textLength) {
    if (textLength < 3) return false;
    unsigned sum = 0;
    for (int i = 1; i < textLength - 2; ++i) sum += static_cast<uint8_t>(replyLine[i]);
    const int checksum = parseHex(replyLine + textLength - 2, 2);
    return ((sum + static_cast<unsigned>(checksum)) & 0xFF) == 0;
}

// Characters the fields of a receive format take.
constexpr int formatWidth(const char* format) {
    int width = 0;
    for (const char* letter = format; *letter; ++letter) {
        if (*letter == 'B')
            width += 2;
        else if (*letter == 'W')
            width += 4;
        else if (*letter == 'C')
            width += 1;
    }
    return width;
}

// Parses the data of a positive reply (`textLength` characters before its CR)
// into a copy of the values, then commits what was parsed.
int parseReply(int textLength, const char* receiveFormat, int* values) {
    int parsed[kMaxReplyText];
    int stored = 0;
    int result = COM_OK;
    int position = 1;
    replyFieldCount = 0;
    for (const char* letter = receiveFormat; *letter; ++letter) {
        if (position >= textLength) break;  // at the CR
        int width = 0;
        switch (*letter) {
            case 'B': width = 2; break;
            case 'W': width = 4; break;
            case 'C': width = 1; break;
            default: break;
        }
        // A field running into the CR would read past the reply: it ends here.
        if (position + width > textLength) break;
        ++replyFieldCount;
        if (width == 0) {
            result = COM_BAD_FORMAT;
        } else if (width == 1) {
            parsed[stored++] = static_cast<signed char>(replyLine[position]);
        } else {
            parsed[stored++] = parseHex(replyLine + position, width);
        }
        position += width;
    }
    for (int i = 0; i < stored; ++i) values[i] = parsed[i];
    return result;
}

// The form of the positive reply a request expects: the length of its data.
// Puts, actions and appends have none; the option list has as many as the
// controller has options, so its reply may look like any other.
constexpr ReplyForm formOf(int command, const char* receiveFormat) {
    ReplyForm form;
    form.first = formatWidth(receiveFormat);
    form.any = command == COM_OPTIONS;
    return form;
}

// ---- resynchronising requests
// Gets without side effects whose positive replies differ in length: the
// output quantity (2 digits), the model (4), the speed compensation of
// channel 0 (8) and setpoint 0 (12). A controller that refuses one answers
// with a negative reply, which is never taken (it may answer an earlier
// request): that try then gives up like a silent one.
struct ResyncRequest {
    int command;
    const char* sendFormat;
    const char* receiveFormat;
};

const ResyncRequest kResyncRequests[] = {
    {COM_CHANNEL_QTY, "", "B"},
    {COM_MODEL, "", "W"},
    {COM_SPEED_COMP_VAL, "GB", "WW"},
    {COM_GET_SPT, "W", "BBWW"},
};
constexpr ReplyForm kResyncForms[] = {
    formOf(COM_CHANNEL_QTY, "B"),
    formOf(COM_MODEL, "W"),
    formOf(COM_SPEED_COMP_VAL, "WW"),
    formOf(COM_GET_SPT, "BBWW"),
};
static_assert(std::size(kResyncForms) == std::size(kResyncRequests));

// What one try may read before it gives up, whatever arrives.
constexpr int64_t kResyncDeadlineMicros = 2LL * kTvxTimeoutMs * 1000;
constexpr int kResyncByteBudget = 16 * kLineBufferSize;

bool resyncAttempt(int entry) {
    const ResyncRequest& r = kResyncRequests[entry];
    int values[2] = {0, 0};  // channel 0, setpoint 0
    const int requestLength = buildRequest(r.command, r.sendFormat, values);
    if (requestLength == 0) return false;
    serialPort.write(requestLine, static_cast<std::size_t>(requestLength));
    if (!serialPort.device()) return false;
    const int width = formatWidth(r.receiveFormat);
    const int64_t deadline = serialPort.nowMicros() + kResyncDeadlineMicros;
    int received = 0;
    while (received < kResyncByteBudget) {
        const int length = receiveReply(deadline);
        if (length < 0) return false;
        received += length;
        const int textLength = length - 1;
        // A positive reply of this length whose checksum holds; everything
        // else is dropped.
        if (replyLine[length - 1] == '\r' && textLength - 3 == width && replyLine[0] != 'N' &&
            checksumHolds(textLength))
            return true;
    }
    return false;
}

constexpr ResyncRequests kResync = {kResyncForms, static_cast<int>(std::size(kResyncForms)), resyncAttempt};

int exchange(int command, const char* sendFormat, const char* receiveFormat, int* values, bool& timedOut) {
    if (!sendFormat) sendFormat = "";
    if (!receiveFormat) receiveFormat = "";
    const int requestLength = buildRequest(command, sendFormat, values);
    if (requestLength == 0) return COM_BAD_FORMAT;

    // The whole line in one call: the same bytes on the line as one by one.
    serialPort.write(requestLine, static_cast<std::size_t>(requestLength));
    timedOut = true;
    if (!serialPort.device()) return COM_TIMEOUT;  // no line: nothing can answer

    const int length = receiveReply();
    if (length < 0) {
        // Given up on: the reply may still come, and is owed.
        serialPort.noteOwed(formOf(command, receiveFormat));
        return COM_TIMEOUT;
    }
    timedOut = false;
    // A reply that filled the buffer or ended on a byte of 0x80 or more has no CR.
    if (replyLine[length - 1] != '\r') return COM_BAD_BUFFER;

    const int textLength = length - 1;
    if (textLength == 0 || textLength == 2 || textLength >= kMaxReplyText) return COM_BAD_BUFFER;
    if (textLength >= 3 && !checksumHolds(textLength)) return COM_BAD_BUFFER;

    if (replyLine[0] == 'N') {
        // A negative reply without its two code digits ("N" alone, or "N"
        // and a checksum) is a failure all the same, never a success.
        if (textLength < 5) return COM_BAD_BUFFER;
        return parseHex(replyLine + 1, 2);
    }
    if (*receiveFormat == '\0') return COM_OK;
    // A positive reply must carry every field asked for (the option list
    // alone has a length of its own). A short one, such as a bare kind
    // character, was cut on the line: never take it for a value of zero.
    if (command != COM_OPTIONS && textLength - 3 < formatWidth(receiveFormat)) return COM_BAD_BUFFER;
    return parseReply(textLength, receiveFormat, values);
}

}  // namespace

ExchangeResult tvxTransaction(int command, const char* sendFormat, const char* receiveFormat, int* values) {
    if (lineHalted()) return noteExchange(true, true, COM_TIMEOUT);
    // After a wait that gave up, the line is brought back in step before
    // this exchange counts; when it cannot be, the line is lost. A closing
    // request (restart, coil off) makes one try and goes out all the same:
    // a controller that recovers is not left standing.
    const bool closing = closingRequests();
    if (!resynchronise(kResync, closing ? 1 : kResyncTries) && !closing) {
        if (!lineHalted()) serialPort.noteOutOfStep();
        return noteExchange(true, true, COM_TIMEOUT);
    }
    bool timedOut = false;
    const int result = exchange(command, sendFormat, receiveFormat, values, timedOut);
    // A controller reporting a garbled request (COM_BAD_BUFFER) counts like a
    // reply that failed its checks here.
    const bool failed = timedOut || result == COM_BAD_BUFFER;
    return noteExchange(failed, timedOut, result, result == COM_BAD_COMMAND);
}

ExchangeResult tvxResynchronise(int tries) {
    if (!serialPort.repliesOwed()) return ExchangeResult{};
    if (lineHalted()) return noteExchange(true, true, COM_TIMEOUT);
    const bool inStep = resynchronise(kResync, tries);
    return noteExchange(!inStep, !inStep, inStep ? COM_OK : COM_TIMEOUT);
}

const char* tvxCommandName(int command) {
    if (command < 0 || command > COM_CMD_CNT) return nullptr;
    return kCommandNames[command];
}

const char* tvxResultName(int result) {
    if (result < 0 || result > COM_KBD_CONFLICT) return nullptr;
    return kResultNames[result];
}

void printCommandName(int command) {
    const char* name = tvxCommandName(command);
    lineSay(name ? ("    " + std::string(name) + ":").c_str() : "    UNKNOWN COM_value:");
}

void printResultName(int result) {
    const char* name = tvxResultName(result);
    // No line end after an unknown code.
    lineSay(name ? (std::string(name) + "\n").c_str() : "UNKNOWN COM_value(1)");
}
