#pragma once
// The telnet layer of a network line and its COM port control option
// (option 44), as pure functions over bytes: nothing here reads or writes a
// socket, so the decoder can be fed any byte stream on its own.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/line_device.h"

namespace platform::telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionSuppressGoAhead = 3;
constexpr uint8_t kOptionComPort = 44;

// COM port option commands sent by the client; the server answers each
// with the same command plus kServerOffset.
enum ComPortCommand : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;
// PURGE-DATA value: the server's receive buffer (what the line sent it).
constexpr uint8_t kPurgeReceiveBuffer = 1;
// SET-PARITY values.
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kParityOdd = 2;
constexpr uint8_t kParityEven = 3;

// The longest subnegotiation kept; longer ones are reported as truncated.
constexpr std::size_t kMaxSubnegotiation = 64;

// One thing the decoder found besides data bytes.
struct Event {
    enum Kind { Will, Wont, Do, Dont, Subnegotiation } kind = Will;
    uint8_t option = 0;
    // Subnegotiation: the bytes after the option, IAC IAC already undone.
    std::vector<uint8_t> payload;
    bool truncated = false;
};

// The server's byte stream split into data bytes and telnet events. Keeps
// its state between calls, so a command may be split over any number of
// reads.
class Decoder {
public:
    // Appends the data bytes of `data` to `out` and what else it held to
    // `events`.
    void feed(const uint8_t* data, std::size_t length, std::vector<uint8_t>& out, std::vector<Event>& events);

private:
    enum class State { Data, Iac, Verb, SbOption, Sb, SbIac } state_ = State::Data;
    uint8_t verb_ = 0;
    Event sub_;
};

// Appends `data` to `out` with every byte 255 doubled.
void appendEscaped(std::vector<uint8_t>& out, const uint8_t* data, std::size_t length);

// IAC <verb> <option>.
std::vector<uint8_t> optionCommand(uint8_t verb, uint8_t option);

// IAC SB 44 <command> <value, escaped> IAC SE.
std::vector<uint8_t> comPortCommand(uint8_t command, const std::vector<uint8_t>& value);

// The value bytes of the four line settings as the option carries them.
std::vector<uint8_t> baudRateValue(uint32_t baudRate);
uint8_t parityValue(Parity parity);
uint8_t stopSizeValue(int stopBits);

// A line setting's value as the option carries it, in the words a message
// gives it: "19200", "even", "1.5"; "a malformed value" when its size is
// not the setting's.
std::string describe(uint8_t command, const std::vector<uint8_t>& value);

// A COM port answer from the server: the client command it answers (1..12)
// and its value; nothing when the event is not one.
struct ComPortAnswer {
    uint8_t command = 0;
    std::vector<uint8_t> value;
};
std::optional<ComPortAnswer> comPortAnswer(const Event& event);

// Which options the client takes part in, and the answers it owes the
// server's requests. The client wants binary transmission both ways, the
// COM port option on its own side (when `comPort`) and no go-ahead; it
// refuses everything else.
class OptionTable {
public:
    explicit OptionTable(bool comPort) : comPort_(comPort) {}
    // The client's own requests, sent once at the start.
    std::vector<uint8_t> opening();
    // Notes the server's request or answer; appends the client's reply.
    void note(const Event& event, std::vector<uint8_t>& reply);

    // True once the server agreed, false once it refused, empty while open.
    std::optional<bool> localEnabled(uint8_t option) const;   // server sent DO / DONT
    std::optional<bool> remoteEnabled(uint8_t option) const;  // server sent WILL / WONT

private:
    bool wantLocal(uint8_t option) const;
    bool wantRemote(uint8_t option) const;
    struct Side {
        std::optional<bool> state;
        bool asked = false;  // the client's request is on its way
    };
    bool comPort_;
    Side local_[256];
    Side remote_[256];
};

}  // namespace platform::telnet
