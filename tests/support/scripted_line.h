#pragma once
// The serial port opened on a scripted line device, for the in-process link
// and transfer tests (with the scripted console beside it).
#include <memory>
#include <string>

#include "common/console_io.h"
#include "link/serial_port.h"
#include "support/scripted_console.h"
#include "support/test_support.h"

namespace testing_support {

// The serial port opened on a scripted device, the console given to the line
// as a transfer gives it; closed again on destruction. `opened` is what
// opening the port returned.
struct ScriptedLine {
    std::shared_ptr<ScriptedLineDevice::State> state;
    int opened = -1;
    explicit ScriptedLine(
        std::shared_ptr<ScriptedLineDevice::State> shared = std::make_shared<ScriptedLineDevice::State>())
        : state(std::move(shared)) {
        auto device = state;
        setLineConsole({dropKeyPressed, confirmLineWriteError, conPuts});
        serialPort.setDeviceFactory([device] { return std::make_unique<ScriptedLineDevice>(device); });
        opened = serialPort.openPath("/dev/scripted", 3, 9600);
    }
    ~ScriptedLine() {
        serialPort.close();
        serialPort.setDeviceFactory(nullptr);
        setLineConsole({});
    }
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;
    void queue(const std::string& bytes) { state->incoming.insert(state->incoming.end(), bytes.begin(), bytes.end()); }
};

}  // namespace testing_support
