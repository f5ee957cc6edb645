#pragma once
// Shared pieces of the link tests: the scripted console (shared with the
// transfer tests) and a fixture with the serial port on a scripted line.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>

#include "common/settings.h"
#include "link/serial_port.h"
#include "platform/console.h"
#include "support/scripted_line.h"
#include "support/test_support.h"

namespace link_test {

using testing_support::ScriptedConsole;

using State = testing_support::ScriptedLineDevice::State;

// The serial port open on a scripted device; replies are queued once the
// request has been written.
class ScriptedLink : public ::testing::Test {
protected:
    ScriptedConsole console;
    std::shared_ptr<State> line = std::make_shared<State>();
    std::unique_ptr<testing_support::ScriptedLine> open_;

    void SetUp() override {
        platform::setConsole(&console);
        commSettings = CommunicationSettings{};
        open_ = std::make_unique<testing_support::ScriptedLine>(line);
        ASSERT_EQ(open_->opened, 0);
    }
    void TearDown() override {
        open_.reset();
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
