// The telnet layer and the COM port control option over bytes.
#include "platform/telnet_codec.h"

namespace platform::telnet {

void Decoder::feed(const uint8_t* data, std::size_t length, std::vector<uint8_t>& out, std::vector<Event>& events) {
    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        switch (state_) {
            case State::Data:
                if (byte == kIac) {
                    state_ = State::Iac;
                } else {
                    out.push_back(byte);
                }
                break;
            case State::Iac:
                if (byte == kIac) {
                    out.push_back(kIac);
                    state_ = State::Data;
                } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                    verb_ = byte;
                    state_ = State::Verb;
                } else if (byte == kSb) {
                    sub_ = Event{};
                    sub_.kind = Event::Subnegotiation;
                    state_ = State::SbOption;
                } else {
                    // NOP, go-ahead, data mark, break, a stray SE and the like
                    // carry nothing for the line.
                    state_ = State::Data;
                }
                break;
            case State::Verb: {
                Event event;
                event.kind = verb_ == kWill   ? Event::Will
                             : verb_ == kWont ? Event::Wont
                             : verb_ == kDo   ? Event::Do
                                              : Event::Dont;
                event.option = byte;
                events.push_back(std::move(event));
                state_ = State::Data;
                break;
            }
            case State::SbOption:
                sub_.option = byte;
                state_ = State::Sb;
                break;
            case State::Sb:
                if (byte == kIac) {
                    state_ = State::SbIac;
                } else if (sub_.payload.size() < kMaxSubnegotiation) {
                    sub_.payload.push_back(byte);
                } else {
                    sub_.truncated = true;
                }
                break;
            case State::SbIac:
                if (byte == kIac) {
                    if (sub_.payload.size() < kMaxSubnegotiation) {
                        sub_.payload.push_back(kIac);
                    } else {
                        sub_.truncated = true;
                    }
                    state_ = State::Sb;
                } else if (byte == kSe) {
                    events.push_back(std::move(sub_));
                    sub_ = Event{};
                    state_ = State::Data;
                } else {
                    // A command inside a subnegotiation ends it unfinished; the
                    // command itself is taken as it stands.
                    sub_.truncated = true;
                    events.push_back(std::move(sub_));
                    sub_ = Event{};
                    state_ = State::Iac;
                    --i;
                }
                break;
        }
    }
}

void appendEscaped(std::vector<uint8_t>& out, const uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
    }
}

std::vector<uint8_t> optionCommand(uint8_t verb, uint8_t option) { return {kIac, verb, option}; }

std::vector<uint8_t> comPortCommand(uint8_t command, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> out{kIac, kSb, kOptionComPort, command};
    appendEscaped(out, value.data(), value.size());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

std::vector<uint8_t> baudRateValue(uint32_t baudRate) {
    return {static_cast<uint8_t>(baudRate >> 24), static_cast<uint8_t>(baudRate >> 16),
            static_cast<uint8_t>(baudRate >> 8), static_cast<uint8_t>(baudRate)};
}

uint8_t parityValue(Parity parity) {
    return parity == Parity::None ? kParityNone : parity == Parity::Odd ? kParityOdd : kParityEven;
}

uint8_t stopSizeValue(int stopBits) { return stopBits == 2 ? 2 : 1; }

std::string describe(uint8_t command, const std::vector<uint8_t>& value) {
    if (command == kSetBaudRate && value.size() == 4) {
        const uint32_t rate = (static_cast<uint32_t>(value[0]) << 24) | (static_cast<uint32_t>(value[1]) << 16) |
                              (static_cast<uint32_t>(value[2]) << 8) | value[3];
        return std::to_string(rate);
    }
    if (value.size() != 1) return "a malformed value";
    if (command == kSetParity) {
        switch (value[0]) {
            case kParityNone: return "none";
            case kParityOdd: return "odd";
            case kParityEven: return "even";
            default: return "code " + std::to_string(value[0]);
        }
    }
    if (command == kSetStopSize && value[0] == 3) return "1.5";
    return std::to_string(value[0]);
}

std::optional<ComPortAnswer> comPortAnswer(const Event& event) {
    if (event.kind != Event::Subnegotiation || event.option != kOptionComPort || event.truncated ||
        event.payload.empty()) {
        return std::nullopt;
    }
    const uint8_t command = event.payload[0];
    if (command <= kServerOffset || command > kServerOffset + kPurgeData) return std::nullopt;
    ComPortAnswer answer;
    answer.command = static_cast<uint8_t>(command - kServerOffset);
    answer.value.assign(event.payload.begin() + 1, event.payload.end());
    return answer;
}

bool OptionTable::wantLocal(uint8_t option) const {
    return option == kOptionBinary || option == kOptionSuppressGoAhead || (comPort_ && option == kOptionComPort);
}

bool OptionTable::wantRemote(uint8_t option) const {
    return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

std::vector<uint8_t> OptionTable::opening() {
    std::vector<uint8_t> out;
    const uint8_t local[] = {kOptionComPort, kOptionBinary};
    for (uint8_t option : local) {
        if (!wantLocal(option) || local_[option].state == true) continue;
        local_[option].asked = true;
        const std::vector<uint8_t> command = optionCommand(kWill, option);
        out.insert(out.end(), command.begin(), command.end());
    }
    if (remote_[kOptionBinary].state != true) {
        remote_[kOptionBinary].asked = true;
        const std::vector<uint8_t> command = optionCommand(kDo, kOptionBinary);
        out.insert(out.end(), command.begin(), command.end());
    }
    return out;
}

void OptionTable::note(const Event& event, std::vector<uint8_t>& reply) {
    if (event.kind == Event::Subnegotiation) return;
    const bool localSide = event.kind == Event::Do || event.kind == Event::Dont;
    const bool request = event.kind == Event::Do || event.kind == Event::Will;
    Side& side = localSide ? local_[event.option] : remote_[event.option];
    const bool wanted = localSide ? wantLocal(event.option) : wantRemote(event.option);
    const uint8_t yes = localSide ? kWill : kDo;
    const uint8_t no = localSide ? kWont : kDont;
    // A reply goes out only when the state changes and the server's word is
    // not the answer to the client's own request, so that no two ends can
    // keep answering each other.
    if (request && wanted) {
        if (side.state != true && !side.asked) reply.insert(reply.end(), {kIac, yes, event.option});
        side.state = true;
    } else if (request) {
        if (side.state != false) reply.insert(reply.end(), {kIac, no, event.option});
        side.state = false;
    } else {
        if (side.state == true && !side.asked) reply.insert(reply.end(), {kIac, no, event.option});
        side.state = false;
    }
    side.asked = false;
}

std::optional<bool> OptionTable::localEnabled(uint8_t option) const { return local_[option].state; }
std::optional<bool> OptionTable::remoteEnabled(uint8_t option) const { return remote_[option].state; }

}  // namespace platform::telnet
