#pragma once
#include "link/exchange_health.h"

// TVX Standard: one request/reply exchange, the command codes and the
// result codes.

enum TvxCommand : int {
    COM_MODEL = 0,
    COM_CHANNEL_QTY = 1,
    COM_OPTIONS = 2,
    COM_REVISION = 3,
    COM_HELLO = 4,
    COM_KBD_CTRL = 5,
    COM_STOP = 6,
    COM_CHECKSUM = 7,
    COM_START = 8,
    COM_RESET = 9,
    COM_RPM = 10,
    COM_POSITION = 11,
    COM_RACK_STATUS = 12,
    COM_SETUP_ID_CODE = 13,
    COM_OPERATOR_ID_CODE = 14,
    COM_USER_PGM_ENAB = 15,
    COM_MOTION_ENAB = 16,
    COM_DIRTN_AND = 17,
    COM_INC_DIRECTION = 18,
    COM_SCALE_FACTOR = 19,
    COM_TIMER_SPEED = 20,
    COM_LOLIMIT = 21,
    COM_HILIMIT = 22,
    COM_TIME_DELAY = 23,
    COM_DEFAULT_PGM = 24,
    COM_PGM_BANK = 25,
    COM_SPEED_COMP_MODE = 26,
    COM_SPEED_COMP_VAL = 27,
    COM_ANALOG = 28,
    COM_GROUP_QTY = 29,
    COM_GROUP_OFFSET = 30,
    COM_GROUP_CHN_QTY = 31,
    COM_ENABLE_QTY = 32,
    COM_ENABLE_MODE = 33,
    COM_SPT_COUNT = 34,
    COM_WIPE_SPT = 35,
    COM_GET_SPT = 36,
    COM_ADD_SPT = 37,
    COM_DEL_SPT = 38,
    COM_MOD_SPT = 39,
    COM_INC_SPT = 40,
    COM_DEC_SPT = 41,
    COM_KEY_PRESS = 42,
    COM_EN_MOT_SPT = 43,
    COM_EN_OFFSET = 44,
    COM_EN_ACT_PGM = 45,
    COM_EN_SPD_COMP = 46,
    COM_EN_TIMED_CHN = 47,
    COM_DEF_DISP = 48,
    COM_TOG_RPM = 49,
    COM_EN_SPT_IN_MOT = 50,
    COM_EN_MULT_PULSES = 51,
    COM_EN_INC_DEC = 52,
    COM_EN_PULSE_MODE = 53,
    COM_EN_CHN_80_81 = 54,
    COM_CYC_PER_REV = 55,
    COM_SHAFT_POS = 56,
    COM_OFFSET_VAL = 57,
    COM_EACH_FLAG = 58,
    COM_84_ENAB = 59,
    COM_SHAFT_OFFSET = 60,
    COM_GET_SPT_2 = 61,
    COM_ADD_SPT_2 = 62,
    COM_BAR_GAP_OFFSET = 63,
    COM_RPMCNT_SPEED = 64,
    COM_EN_SP = 65,
    COM_EN_MD = 66,
    COM_EN_OF = 67,
    COM_EN_AP = 68,
    COM_EN_SC = 69,
    COM_EN_TO = 70,
    COM_OUTPUT_ENAB = 71,
    COM_LOLIMIT_2 = 72,
    COM_HILIMIT_2 = 73,
    COM_OFFSET_MODE = 74,
    COM_ANALOG_QTY = 75,
    COM_RESOLVER_TYPE = 76,
    COM_PGM_SEL_MODE = 77,
    COM_SPEED_COMP_UNITS = 78,
    COM_PRESET_VAL = 79,
    COM_PRESET_EDGE = 80,
    COM_SHREG_COUNT = 81,
    COM_SHIFT_LIMIT = 82,
    COM_SHIFT_INCREMENT = 83,
    COM_GRAY_LEVEL = 84,
    COM_RAMP_LIMIT = 85,
    COM_KBD_QTY = 86,
    COM_RATE_SETUP = 87,
    COM_MASTER_ID = 88,
    COM_INPUT_AND = 89,
    COM_SHIFT_COUNT = 90,
    COM_GET_SPT_BY_IDX = 91,
    COM_DEL_SPT_BY_IDX = 92,
    COM_FIRMWARE = 93,
    COM_PROG_MEM = 94,
    COM_GRAY_COMP = 95,
    COM_RATE_SETUP_2 = 96,
    COM_TERM_RES = 97,
    COM_DEL_SPT_2 = 98,
    COM_MOD_SPT_2 = 99,
    COM_INC_SPT_2 = 100,
    COM_DEC_SPT_2 = 101,
    COM_EEPROM_CHANGED = 102,
    COM_ANALOG_2 = 103,
    COM_TIME = 104,
    COM_EN_AN = 108,
    COM_CMD_CNT = 109,
};

enum TvxResult : int {
    COM_OK = 0,
    COM_BAD_BUFFER = 1,
    COM_NOT_OUR_ADDRESS = 2,
    COM_BAD_COMMAND = 3,
    COM_BAD_DATA = 4,
    COM_NOT_IN_MOTION = 5,
    COM_2_MANY_TIMERS = 6,
    COM_NOT_AN_OPTION = 7,
    COM_NOT_STOPPED = 8,
    COM_BAD_FORMAT = 9,
    COM_TIMEOUT = 10,
    COM_BAD_KEY = 11,
    COM_FLASH_ERROR = 12,
    COM_BAD_PGM_NUMBER = 13,
    COM_BAD_CHN_NUMBER = 14,
    COM_KBD_CONFLICT = 15,
};

constexpr int kTvxTimeoutMs = 3000;

// Number of receive-format letters consumed by the last positive reply that
// had a non-empty receive format.
extern int replyFieldCount;

// Sends command `command` with data built from `sendFormat` and `values`, and
// parses the reply's data by `receiveFormat` into `values`. Its code is
// COM_OK, a failure code of this layer or the controller's negative result
// code; its kind tells how the exchange went.
ExchangeResult tvxTransaction(int command, const char* sendFormat, const char* receiveFormat, int* values);

// While replies are owed (a wait gave up), at most `tries` resynchronising
// requests (link/resync.h); never loses the line. Answered when the line is
// in step, at once when nothing was owed; silent otherwise. For waits that
// make their own attempts: the probes, the wait for a restart.
ExchangeResult tvxResynchronise(int tries);

// Diagnostic printers: "    COM_MODEL:" and "COM_OK\n" style; numbers without
// a name print "    UNKNOWN COM_value:" and "UNKNOWN COM_value(1)".
void printCommandName(int command);
void printResultName(int result);
// The bare names, or nullptr for numbers without one.
const char* tvxCommandName(int command);
const char* tvxResultName(int result);
