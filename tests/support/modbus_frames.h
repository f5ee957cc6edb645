#pragma once
// MODBUS ASCII frames for the tests, made by the program's own codec.
#include <cstdint>
#include <string>
#include <vector>

#include "link/modbus_ascii.h"

namespace testing_support {

// ':' + hex pairs of the low bytes of `bytes` (unit, function code, data) +
// LRC + CR LF.
inline std::string modbusFrame(const std::vector<int>& bytes) {
    std::vector<uint8_t> octets;
    octets.reserve(bytes.size());
    for (int b : bytes) octets.push_back(static_cast<uint8_t>(b & 0xFF));
    return modbus_ascii::encode(octets);
}

}  // namespace testing_support
