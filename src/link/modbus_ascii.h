#pragma once
// MODBUS ASCII framing as pure functions over text: a message (unit, function
// code, data) becomes ':', two hex digits per byte, the LRC and CR LF, and a
// received line is checked and taken apart again. Nothing here reads or
// writes a line, so the program, the simulator and the tests frame alike.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modbus_ascii {

constexpr char kStartChar = ':';

// The byte that brings the low byte of the sum of `bytes` to 0.
uint8_t lrc(std::span<const uint8_t> bytes);

// One message, without its LRC.
struct Message {
    uint8_t unit = 0;
    uint8_t function = 0;
    std::vector<uint8_t> data;
};

// The frame of a message: the start character, upper-case hex pairs of the
// unit, the function code, the data and the LRC, CR LF.
std::string encode(const Message& message, char start = kStartChar);
// The same for bytes as they stand (unit, function code and data), however
// few there are.
std::string encode(std::span<const uint8_t> bytes, char start = kStartChar);

// Why a line is not a frame, in the order it is checked.
enum class Fault {
    None,
    NoStart,    // it does not begin with the start character
    NoLineEnd,  // it does not end with CR LF
    OddLength,  // an odd number of characters between them
    BadChar,    // a character between them that is not a hex digit (either case)
    TooShort,   // fewer bytes than a unit, a function code and an LRC
    Lrc,        // the LRC does not match
};
const char* describe(Fault fault);

struct Decoded {
    Fault fault = Fault::None;
    Message message;  // when fault is None
};

// Checks one whole line, its CR LF included.
Decoded decode(std::string_view line, char start = kStartChar);

}  // namespace modbus_ascii
