#pragma once
#include <string>
#include <vector>

#include "link/serial_port.h"

// The transfers of the unattended command line:
//   linkora <direction> <unitAddress> <comPort> <baudRate> <Filename> [options]
//   linkora c <unitAddress> <comPort> <baudRate> <Filename> [characterFormat]

enum class TransferKind { Upload, Download, Compare };

struct TransferLine {
    TransferKind kind = TransferKind::Upload;
    int unitAddress = 1;
    int comPort = 0;
    std::string devicePath;
    int baudRate = 9600;
    std::string fileName;
    bool mappingsOnly = false;
    bool setDefaults = false;
    bool keepOffsets = false;
    bool verifyDownload = false;
    int characterFormat = kFormatDefault;
};

// Reads the words after the program name: a direction (u or d, either
// case; any other word is named a wrong direction) or c, and its
// arguments. Returns the message for a wrong command line, or empty.
std::string parseTransferLine(const std::vector<std::string>& args, TransferLine& out);

// Runs a line that parseTransferLine took, with LINKORA_PROTOCOL read from
// the environment; returns the exit status.
int runTransferLine(const TransferLine& line);
