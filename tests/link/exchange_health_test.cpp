// Which exchanges count as spoiled by the line, repeats, and halting the
// line once the controller is gone.
#include "handlers/exchange_rules.h"

#include "link/link_fixture.h"
#include "link/modbus.h"
#include "link/tvx.h"

namespace link_test {
namespace {

using ExchangeHealth = ScriptedLink;

TEST_F(ExchangeHealth, GarbledRepliesCountButRefusalsDoNot) {
    int values[2] = {0, 0};
    const int64_t before = failedExchanges();

    answerWith(":0103020001FA\r\n");  // LRC off by one
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, -1);
    EXPECT_EQ(failedExchanges(), before + 1);

    answerWith(":0183027A\r\n");  // exception 2: the controller answered
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, 2);
    answerWith("N039D\r");  // COM_BAD_COMMAND: answered too
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values).code, COM_BAD_COMMAND);
    EXPECT_EQ(failedExchanges(), before + 1);

    answerWith("A12\r");  // TVX checksum wrong
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "", values).code, COM_BAD_BUFFER);
    EXPECT_EQ(failedExchanges(), before + 2);
}

TEST_F(ExchangeHealth, SpoiledRepliesAreRepeatedAndASilentControllerHaltsTheLine) {
    int values[1] = {0};
    auto read = [&] { return modbusTransaction(3, 1, 1, values); };

    // A spoiled reply, then a good one: the repeat recovers it, and the
    // block it belongs to keeps no fault.
    BlockFaults recovered;
    answerWith(":0103020001FA\r\n");
    answerWith(":010302000AF0\r\n");
    EXPECT_EQ(repeatExchange(recovered, read).code, 0);
    EXPECT_EQ(values[0], 10);
    EXPECT_FALSE(recovered.silent || recovered.spoiled || recovered.broken);

    // Nothing answers, not even the probe: the controller is gone and the
    // line sends nothing more until that is forgotten.
    BlockFaults lost;
    EXPECT_EQ(repeatExchange(lost, read).code, -1);
    EXPECT_TRUE(controllerGone());
    EXPECT_TRUE(lost.silent);
    EXPECT_FALSE(blockResult(lost).done);
    line->sent.clear();
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values).code, COM_TIMEOUT);
    EXPECT_TRUE(line->sent.empty());
    // The next exchange first brings the line back in step: a read of the
    // model register in a form none of the owed replies has (the probe's
    // tries read three and two registers and set the option index).
    forgetControllerGone();
    line->sent.clear();
    line->onSend = [turn = 0](State& s) mutable {
        const std::string reply = turn++ == 0 ? ":01030210F8F2\r\n" : ":010302000AF0\r\n";
        s.incoming.insert(s.incoming.end(), reply.begin(), reply.end());
    };
    EXPECT_EQ(modbusTransaction(3, 1, 1, values).code, 0);
    EXPECT_EQ(line->sent, ":0103012B0001CF\r\n:010300000001FB\r\n");
    EXPECT_EQ(values[0], 10);
}

// Each transaction hands back its code and the kind of the exchange.
TEST_F(ExchangeHealth, TransactionsHandBackTheKindOfTheExchange) {
    struct Case {
        bool tvx;
        const char* reply;  // nullptr: nothing answers
        int code;
        ExchangeKind kind;
        bool lacking;
    };
    const Case cases[] = {
        {false, ":010302000AF0\r\n", 0, ExchangeKind::Answered, false},
        {false, ":0183027A\r\n", 2, ExchangeKind::Refused, true},   // unknown register
        {false, ":01830379\r\n", 3, ExchangeKind::Refused, false},  // refused value
        {false, ":01830478\r\n", 4, ExchangeKind::Spoiled, false},  // a failure in the controller
        {false, ":0103020001FA\r\n", -1, ExchangeKind::Spoiled, false},
        {true, "N039D\r", COM_BAD_COMMAND, ExchangeKind::Refused, true},
        {true, "A12\r", COM_BAD_BUFFER, ExchangeKind::Spoiled, false},
        {false, nullptr, -1, ExchangeKind::Silent, false},  // last: the line is then out of step
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply ? c.reply : "silent");
        int values[1] = {0};
        if (c.reply) {
            answerWith(c.reply);
        } else {
            line->onSend = nullptr;
        }
        const ExchangeResult result =
            c.tvx ? tvxTransaction(COM_MODEL, "", "W", values) : modbusTransaction(3, 1, 1, values);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(result.lacking, c.lacking);
        EXPECT_EQ(result.faulted(), c.kind == ExchangeKind::Spoiled || c.kind == ExchangeKind::Silent);
    }
}

}  // namespace
}  // namespace link_test
