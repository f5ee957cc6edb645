// A reply that comes after its request was given up on, just before the
// reply to the next request: the next exchange takes the reply to its own
// request, never the late one (which has the same form here).
#include <gtest/gtest.h>

#include <string>

#include "link/link_fixture.h"
#include "link/modbus.h"
#include "link/tvx.h"

namespace link_test {
namespace {

struct LateCase {
    const char* name;
    bool tvx;
    const char* resync;  // the request that brings the line back in step
    const char* late;    // the reply given up on, arriving late
    const char* inStep;  // the reply to the resynchronising request
    const char* reply;   // the reply to the request itself
    int value;           // what that reply carries
};

void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class LateReply : public ScriptedLink, public testing::WithParamInterface<LateCase> {};

TEST_P(LateReply, IsNeverTakenForTheNextAnswer) {
    const LateCase& c = GetParam();
    int values[2] = {0, 0};
    auto exchange = [&] {
        return c.tvx ? tvxTransaction(COM_MODEL, "", "W", values) : modbusTransaction(3, 1, 1, values);
    };
    line->onSend = nullptr;  // the first request is not answered in time
    EXPECT_TRUE(exchange().silent());

    line->sent.clear();
    line->onSend = [&c, turn = 0](State& s) mutable {
        std::string bytes = turn++ == 0 ? std::string(c.late) + c.inStep : std::string(c.reply);
        s.incoming.insert(s.incoming.end(), bytes.begin(), bytes.end());
    };
    EXPECT_EQ(exchange().code, 0);
    EXPECT_EQ(values[0], c.value);
    EXPECT_EQ(line->sent.substr(0, std::string(c.resync).size()), c.resync);
}

INSTANTIATE_TEST_SUITE_P(BothProtocols, LateReply,
                         testing::Values(LateCase{"modbus", false, ":0103012B0003CD\r\n", ":010302000AF0\r\n",
                                                  ":01030610F801380010A5\r\n", ":0103020007F3\r\n", 7},
                                         LateCase{"tvx", true, "!01013E\r", "A10F821\r", "A109F\r", "A115C26\r", 4444}),
                         [](const testing::TestParamInfo<LateCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace link_test
