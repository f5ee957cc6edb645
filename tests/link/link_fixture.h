#pragma once
// Shared pieces of the link tests: a console that records output and serves
// queued keys, and a fixture with the serial port on a scripted line device.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>

#include "common/settings.h"
#include "link/serial_port.h"
#include "platform/console.h"
#include "support/test_support.h"

namespace link_test {

class RecordingConsole : public platform::Console {
public:
    std::deque<int> keys;
    std::string output;
    int keysRead = 0;
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
};

using State = testing_support::ScriptedLineDevice::State;

// The serial port open on a scripted device; replies are queued once the
// request has been written.
class ScriptedLink : public ::testing::Test {
protected:
    RecordingConsole console;
    std::shared_ptr<State> line = std::make_shared<State>();

    void SetUp() override {
        platform::setConsole(&console);
        commSettings = CommunicationSettings{};
        auto state = line;
        serialPort.setDeviceFactory(
            [state] { return std::make_unique<testing_support::ScriptedLineDevice>(state); });
        ASSERT_EQ(serialPort.openPath("/dev/scripted", 3, 9600), 0);
    }
    void TearDown() override {
        serialPort.close();
        serialPort.setDeviceFactory(nullptr);
        platform::setConsole(nullptr);
        commSettings = CommunicationSettings{};
    }
    // Queues `reply` as the answer to the next request (once).
    void answerWith(const std::string& reply) {
        line->sent.clear();
        line->onSend = [reply, given = false](State& s) mutable {
            if (given) return;
            given = true;
            s.incoming.insert(s.incoming.end(), reply.begin(), reply.end());
        };
    }
};

}  // namespace link_test
