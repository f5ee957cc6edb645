#pragma once
// In-process helpers for the transfer tests: the scripted console and the
// scripted serial line (shared with the link tests), MODBUS frames.
#include <cstdio>
#include <initializer_list>
#include <string>

#include "support/scripted_line.h"

namespace transfer_test {

using testing_support::ScriptedConsole;
using testing_support::ScriptedLine;

// A MODBUS ASCII frame (":" hex LRC CR LF) for the given bytes.
inline std::string modbusFrame(std::initializer_list<int> bytes) {
    std::string frame = ":";
    int sum = 0;
    char hex[3];
    for (int b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        frame += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", (-sum) & 0xFF);
    frame += hex;
    frame += "\r\n";
    return frame;
}

}  // namespace transfer_test
