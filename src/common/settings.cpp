#include "common/settings.h"

#include <cstddef>

CommunicationSettings commSettings;
TransferOptions transferOptions;
char dataFileName[kDataFileNameSize] = "TEST.DAT";

BlockResult noopFunctionHandler(int, int) { return BlockResult{}; }

namespace {

const char* const kComPortNames[] = {"COM1", "COM2", "COM3", "COM4"};
const char* const kProtocolNames[] = {"Auto Detect", "MODBUS", "TVX Standard"};

template <std::size_t N>
const char* nameAt(const char* const (&names)[N], int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= N) return "?";
    return names[index];
}

}  // namespace

const char* comPortName(int comPort) { return nameAt(kComPortNames, comPort); }
const char* protocolName(int protocol) { return nameAt(kProtocolNames, protocol); }
