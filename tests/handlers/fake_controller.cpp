#include "handlers/fake_controller.h"

#include <cstdio>

#include "link/modbus_ascii.h"
#include "link/serial_port.h"
#include "support/modbus_frames.h"

using testing_support::ScriptedLineDevice;

namespace handlers_test {

namespace {

int hexValue(const std::string& text, std::size_t pos, std::size_t length) {
    return static_cast<int>(std::stoul(text.substr(pos, length), nullptr, 16));
}

std::string hex(int value, int digits) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value & ((1 << (4 * digits)) - 1));
    return buffer;
}

std::string tvxFrame(const std::string& payload) {
    int sum = 0;
    for (std::size_t i = 1; i < payload.size(); ++i) sum += static_cast<unsigned char>(payload[i]);
    return payload + hex(-sum, 2) + "\r";
}

ModbusReply defaultModbus(FakeController& fake, const ModbusRequest& request) {
    ModbusReply reply;
    if (request.function == 3) {
        for (int i = 0; i < request.count; ++i) reply.data.push_back(fake.registers[request.reg + i]);
    } else if (request.function == 16) {
        for (int i = 0; i < request.count; ++i) fake.registers[request.reg + i] = request.values[i];
    }
    return reply;
}

}  // namespace

std::vector<int> TvxRequest::fields(const std::string& format) const {
    std::vector<int> out;
    std::size_t pos = 0;
    for (char letter : format) {
        if (letter == 'G' || letter == 'P') {
            ++pos;
        } else {
            const std::size_t width = letter == 'W' ? 4 : 2;
            if (pos + width > data.size()) break;
            out.push_back(hexValue(data, pos, width));
            pos += width;
        }
    }
    return out;
}

TvxReply tvxOk(const std::string& format, const std::vector<int>& values) {
    TvxReply reply;
    reply.payload = "A";
    for (std::size_t i = 0; i < format.size() && i < values.size(); ++i)
        reply.payload += hex(values[i], format[i] == 'W' ? 4 : 2);
    return reply;
}

TvxReply tvxRefuse(int code) { return TvxReply{false, "N" + hex(code, 2)}; }

FakeController::FakeController() : state(std::make_shared<ScriptedLineDevice::State>()) {
    modbus = [this](const ModbusRequest& r) { return defaultModbus(*this, r); };
    tvx = [](const TvxRequest&) { return tvxRefuse(3); };
    state->onSend = [this](ScriptedLineDevice::State& s) { onSend(s); };
    auto shared = state;
    serialPort.setDeviceFactory([shared] { return std::make_unique<ScriptedLineDevice>(shared); });
}

FakeController::~FakeController() {
    serialPort.close();
    serialPort.setDeviceFactory(nullptr);
    state->onSend = nullptr;
}

void FakeController::open() { serialPort.openPath("scripted", 3, 9600); }

std::vector<int> FakeController::tvxCommands() const {
    std::vector<int> out;
    for (const TvxRequest& r : tvxLog) out.push_back(r.command);
    return out;
}

void FakeController::onSend(ScriptedLineDevice::State& s) {
    while (consumed_ < s.sent.size()) {
        const std::string pending = s.sent.substr(consumed_);
        const char start = pending[0];
        if (start != ':' && start != '!') {
            ++consumed_;  // noise between frames
            continue;
        }
        const std::size_t end = pending.find(start == ':' ? '\n' : '\r');
        if (end == std::string::npos) return;
        consumed_ += end + 1;
        std::string frame = pending.substr(0, end);
        if (start == ':') {
            const modbus_ascii::Decoded decoded = modbus_ascii::decode(pending.substr(0, end + 1));
            if (decoded.fault != modbus_ascii::Fault::None) continue;  // not a request: no answer
            std::vector<int> bytes = {decoded.message.unit, decoded.message.function};
            bytes.insert(bytes.end(), decoded.message.data.begin(), decoded.message.data.end());
            ModbusRequest request;
            request.function = bytes.at(1);
            request.reg = (bytes.at(2) << 8 | bytes.at(3)) + 1;
            if (request.function == 5) {
                request.count = 1;
                request.values.push_back(bytes.at(4) == 0xFF ? 1 : 0);
            } else {
                request.count = bytes.at(4) << 8 | bytes.at(5);
            }
            if (request.function == 16)
                for (int i = 0; i < request.count; ++i)
                    request.values.push_back(bytes.at(7 + 2 * i) << 8 | bytes.at(8 + 2 * i));
            modbusLog.push_back(request);
            const ModbusReply reply = modbus(request);
            if (reply.silent) continue;
            std::vector<int> out = {bytes[0], request.function};
            if (reply.exception != 0) {
                out = {bytes[0], request.function | 0x80, reply.exception};
            } else if (request.function == 3) {
                out.push_back(2 * request.count);
                for (int i = 0; i < request.count; ++i) {
                    const int v = i < static_cast<int>(reply.data.size()) ? reply.data[i] : 0;
                    out.push_back((v >> 8) & 0xFF);
                    out.push_back(v & 0xFF);
                }
            } else {
                out.insert(out.end(), bytes.begin() + 2, bytes.begin() + 6);
            }
            for (char c : testing_support::modbusFrame(out)) s.incoming.push_back(static_cast<uint8_t>(c));
        } else {
            TvxRequest request;
            request.command = hexValue(frame, 3, 2);
            request.data = frame.substr(5, frame.size() - 7);
            tvxLog.push_back(request);
            const TvxReply reply = tvx(request);
            if (reply.silent) continue;
            for (char c : tvxFrame(reply.payload)) s.incoming.push_back(static_cast<uint8_t>(c));
        }
    }
}

}  // namespace handlers_test
