#pragma once
// Hex digit helpers for the controller side: strict on what it receives,
// upper case on what it sends.
#include <cctype>
#include <string>

#include "link/hex.h"

namespace sim {

inline bool allHex(const std::string& text, size_t from, size_t count) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// `count` hex digits at `from`, or -1 when they are not all hex digits.
inline int hexField(const std::string& text, size_t from, size_t count) {
    if (count == 0 || count > 4 || !allHex(text, from, count)) return -1;
    return parseHex(text.c_str() + from, static_cast<int>(count));
}

inline void appendHex(std::string& out, unsigned value, int width) {
    char buffer[12];
    formatHex(buffer, value, width);
    out += buffer;
}

}  // namespace sim
