#include "link/modbus_ascii.h"

#include "link/hex.h"

namespace modbus_ascii {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void appendPair(std::string& out, uint8_t byte) {
    char pair[3];
    formatHex(pair, byte, 2);
    out.append(pair, 2);
}

// A unit, a function code and the LRC.
constexpr std::size_t kFewestBytes = 3;

}  // namespace

uint8_t lrc(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>((0x100 - (sum & 0xFF)) & 0xFF);
}

std::string encode(std::span<const uint8_t> bytes, char start) {
    std::string out;
    out.reserve(1 + 2 * (bytes.size() + 1) + 2);
    out += start;
    for (uint8_t b : bytes) appendPair(out, b);
    appendPair(out, lrc(bytes));
    out += "\r\n";
    return out;
}

std::string encode(const Message& message, char start) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 + message.data.size());
    bytes.push_back(message.unit);
    bytes.push_back(message.function);
    bytes.insert(bytes.end(), message.data.begin(), message.data.end());
    return encode(bytes, start);
}

const char* describe(Fault fault) {
    switch (fault) {
        case Fault::None: return "a frame";
        case Fault::NoStart: return "no start character";
        case Fault::NoLineEnd: return "no CR LF at the end";
        case Fault::OddLength: return "an odd number of hex digits";
        case Fault::BadChar: return "a character that is not a hex digit";
        case Fault::TooShort: return "too short for a unit, a function code and an LRC";
        case Fault::Lrc: return "the LRC does not match";
    }
    return "not a frame";
}

Decoded decode(std::string_view line, char start) {
    Decoded out;
    if (line.empty() || line.front() != start) {
        out.fault = Fault::NoStart;
        return out;
    }
    if (line.size() < 3 || line[line.size() - 2] != '\r' || line.back() != '\n') {
        out.fault = Fault::NoLineEnd;
        return out;
    }
    const std::string_view digits = line.substr(1, line.size() - 3);
    if (digits.size() % 2 != 0) {
        out.fault = Fault::OddLength;
        return out;
    }
    std::vector<uint8_t> bytes(digits.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = hexValue(digits[2 * i]);
        const int lo = hexValue(digits[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            out.fault = Fault::BadChar;
            return out;
        }
        bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    if (bytes.size() < kFewestBytes) {
        out.fault = Fault::TooShort;
        return out;
    }
    if (lrc(std::span<const uint8_t>(bytes).first(bytes.size() - 1)) != bytes.back()) {
        out.fault = Fault::Lrc;
        return out;
    }
    out.message.unit = bytes[0];
    out.message.function = bytes[1];
    out.message.data.assign(bytes.begin() + 2, bytes.end() - 1);
    return out;
}

}  // namespace modbus_ascii
