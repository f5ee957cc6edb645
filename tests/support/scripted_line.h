#pragma once
// In-process pieces shared by the link and transfer tests: a console that
// records what is printed and hands out scripted keys, and the serial port
// opened on a scripted line device.
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "link/serial_port.h"
#include "platform/console.h"
#include "support/test_support.h"

namespace testing_support {

// The program's console while it lives. An exhausted script answers ESC, so
// no loop can wait forever.
class RecordingConsole : public platform::Console {
public:
    RecordingConsole() { platform::setConsole(this); }
    ~RecordingConsole() override { platform::setConsole(nullptr); }
    int getKey() override {
        ++keysRead;
        if (keys.empty()) return platform::kKeyEscape;
        const int key = keys.front();
        keys.pop_front();
        return key;
    }
    bool keyWaiting() override { return !keys.empty(); }
    void write(const char* text, std::size_t length) override { output.append(text, length); }
    void clearScreen() override {}

    std::deque<int> keys;
    std::string output;
    int keysRead = 0;
};

// The serial port opened on a scripted device; closed again on destruction.
// `opened` is what opening the port returned.
struct ScriptedLine {
    std::shared_ptr<ScriptedLineDevice::State> state;
    int opened = -1;
    explicit ScriptedLine(std::shared_ptr<ScriptedLineDevice::State> shared =
                              std::make_shared<ScriptedLineDevice::State>())
        : state(std::move(shared)) {
        auto device = state;
        serialPort.setDeviceFactory([device] { return std::make_unique<ScriptedLineDevice>(device); });
        opened = serialPort.openPath("/dev/scripted", 3, 9600);
    }
    ~ScriptedLine() {
        serialPort.close();
        serialPort.setDeviceFactory(nullptr);
    }
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;
    void queue(const std::string& bytes) { state->incoming.insert(state->incoming.end(), bytes.begin(), bytes.end()); }
};

}  // namespace testing_support
