#include "link/hex.h"

#include <cstdint>

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kMaxParseLength = 5;
}  // namespace

char* formatHex(char* buffer, unsigned value, int width) {
    if (width < 0) width = 0;
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = kHexDigits[value & 0xFu];
        value >>= 4;
    }
    buffer[width] = '\0';
    return buffer + width;
}

// Lenient on purpose: no character is rejected. 'a'..'z' count from 10,
// anything else above '9' counts from 'A' = 10, the rest from '0'. Each digit
// is kept in a signed byte, as the controller's own firmware tools do.
int parseHex(const char* text, int length) {
    if (length > kMaxParseLength) length = kMaxParseLength;
    int result = 0;
    for (int i = 0; i < length; ++i) {
        const int c = static_cast<signed char>(text[i]);
        int offset = 48;
        if (c >= 'a' && c <= 'z') {
            offset = 87;
        } else if (c > '9') {
            offset = 55;
        }
        const auto digit = static_cast<int8_t>(static_cast<uint8_t>(c - offset));
        result = result * 16 + digit;
    }
    return result;
}
