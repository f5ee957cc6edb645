#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/block_result.h"

// The program's shared records: communication settings, transfer options and
// the data file name. One instance each, alive for the whole run.

constexpr double kProgramRevision = 2.79;

// Protocol back-end: mode 0 reads block `functionNumber` from the controller
// into the image, mode 1 writes it from the image to the controller. It hands
// back how the block went.
using FunctionHandler = BlockResult (*)(int mode, int functionNumber);

// The handler installed before any connection: does nothing.
BlockResult noopFunctionHandler(int mode, int functionNumber);

enum Protocol : uint8_t { kAutoDetect = 0, kModbus = 1, kTvxStandard = 2 };

struct CommunicationSettings {
    int comPort = 0;  // 0..3, shown as COM1..COM4
    int baudRate = 9600;
    int unitAddress = 1;  // 1..254 from the menu
    uint8_t protocol = kAutoDetect;
    FunctionHandler functionHandler = noopFunctionHandler;
    char modbusStartChar = ':';
    uint8_t characterFormat = 255;  // 255: the protocol's default format
    // A device path given on the command line instead of a COM port (empty:
    // use comPort).
    std::string devicePath;
};

struct TransferOptions {
    bool mappingsOnly = false;
    bool setDefaults = false;
    bool keepOffsets = false;
    bool verifyDownload = false;
};

extern CommunicationSettings commSettings;
extern TransferOptions transferOptions;

// Room for any path the system accepts (the command line's file name); the
// line editor of the menus takes at most kFileNameEntrySize - 1 characters.
constexpr int kDataFileNameSize = 4096;
constexpr int kFileNameEntrySize = 64;
extern char dataFileName[kDataFileNameSize];

// Names shown for comPort and protocol; out-of-range values get "?".
const char* comPortName(int comPort);
const char* protocolName(int protocol);
