#pragma once
// In-process helpers for the transfer tests: a console that records what is
// printed and hands out scripted keys, and a scripted serial line.
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "link/serial_port.h"
#include "platform/console.h"
#include "support/test_support.h"

namespace transfer_test {

class RecordingConsole : public platform::Console {
public:
    RecordingConsole() { platform::setConsole(this); }
    ~RecordingConsole() override { platform::setConsole(nullptr); }
    int getKey() override {
        if (keys.empty()) return platform::kKeyEscape;
        const int key = keys.front();
        keys.pop_front();
        return key;
    }
    bool keyWaiting() override { return false; }
    void write(const char* text, std::size_t length) override { output.append(text, length); }
    void clearScreen() override {}

    std::string output;
    std::deque<int> keys;
};

// The serial port opened on a scripted device; closed again on destruction.
struct ScriptedLine {
    std::shared_ptr<testing_support::ScriptedLineDevice::State> state =
        std::make_shared<testing_support::ScriptedLineDevice::State>();
    ScriptedLine() {
        auto shared = state;
        serialPort.setDeviceFactory(
            [shared] { return std::make_unique<testing_support::ScriptedLineDevice>(shared); });
        serialPort.openPath("/dev/scripted", 3, 9600);
    }
    ~ScriptedLine() {
        serialPort.close();
        serialPort.setDeviceFactory(nullptr);
    }
    void queue(const std::string& bytes) { state->incoming.insert(state->incoming.end(), bytes.begin(), bytes.end()); }
};

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
