#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "link/tvx.h"
#include "link_fixture.h"

namespace {

// A reply line: kind character, data, checksum over the data, CR.
std::string reply(char kind, const std::string& data, int checksumAdjust = 0) {
    int sum = 0;
    for (unsigned char c : data) sum += c;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF) + checksumAdjust) & 0xFF);
    return std::string(1, kind) + data + digits + "\r";
}

constexpr int kSentinel = -777;
std::array<int, 8> sentinels() {
    std::array<int, 8> v;
    v.fill(kSentinel);
    return v;
}

using Tvx = link_test::ScriptedLink;

TEST_F(Tvx, RequestsAreFramedByteExact) {
    struct Case {
        int command;
        const char* sendFormat;
        std::vector<int> values;
        std::string request;
    };
    const std::vector<Case> cases = {
        {COM_MODEL, "", {}, "!01003F\r"},
        {COM_SPT_COUNT, "G", {}, "!0122GF4\r"},
        {COM_DEFAULT_PGM, "PB", {3}, "!0118P0383\r"},
        {COM_SPEED_COMP_VAL, "GB", {5}, "!011BG0580\r"},
        // Only the low bits of each value travel; "C" is one raw character.
        {COM_TIME_DELAY, "PBW", {0x102, -1}, "!0117P02FFFF"},
        {COM_KEY_PRESS, "C", {0x141}, "!012AA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::vector<int> values = c.values;
        values.resize(4, 0);
        answerWith("A\r");
        EXPECT_EQ(tvxTransaction(c.command, c.sendFormat, "", values.data()).code, COM_OK);
        if (c.request.back() == '\r') {
            EXPECT_EQ(line->sent, c.request);
        } else {  // checked without the checksum, then the checksum rule
            ASSERT_EQ(line->sent.substr(0, c.request.size()), c.request);
            int sum = 0;
            for (std::size_t i = 1; i + 3 < line->sent.size(); ++i) sum += static_cast<unsigned char>(line->sent[i]);
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
            EXPECT_EQ(line->sent, c.request + digits + "\r");
        }
    }
}

TEST_F(Tvx, UnitAddressComesFromTheSettingsAtEachCall) {
    commSettings.unitAddress = 0xFE;
    answerWith("A\r");
    tvxTransaction(COM_MODEL, "", "", nullptr);
    EXPECT_EQ(line->sent.substr(0, 5), "!FE00");
}

TEST_F(Tvx, RepliesParsedForEveryFormatLetter) {
    auto values = sentinels();
    answerWith(reply('A', "12ab34FFFFx"));
    EXPECT_EQ(tvxTransaction(COM_RATE_SETUP_2, "G", "BWWC", values.data()).code, COM_OK);
    EXPECT_EQ(values[0], 0x12);
    EXPECT_EQ(values[1], 0xAB34);
    EXPECT_EQ(values[2], 65535);
    EXPECT_EQ(values[3], 'x');
    EXPECT_EQ(values[4], kSentinel);
    EXPECT_EQ(replyFieldCount, 4);
}

TEST_F(Tvx, OptionListCountsTheChecksumAsAField) {
    auto values = sentinels();
    const std::string line1 = reply('A', "030507");
    answerWith(line1);
    EXPECT_EQ(tvxTransaction(COM_OPTIONS, "", "BBBBBBBB", values.data()).code, COM_OK);
    EXPECT_EQ(replyFieldCount, 4);
    EXPECT_EQ(values[0], 3);
    EXPECT_EQ(values[1], 5);
    EXPECT_EQ(values[2], 7);
    EXPECT_EQ(values[3], 0x100 - (('0' + '3' + '0' + '5' + '0' + '7') & 0xFF));
    EXPECT_EQ(values[4], kSentinel);
}

TEST_F(Tvx, RepliesShorterThanTheirFormatAreSpoiled) {
    // A reply cut on the line, down to its kind character alone, is never a
    // value of zero; a put expects no data and takes any positive reply.
    for (const std::string& cut : {reply('A', "0102"), std::string("A\r")}) {
        auto values = sentinels();
        answerWith(cut);
        EXPECT_EQ(tvxTransaction(COM_SPEED_COMP_VAL, "GB", "WW", values.data()).code, COM_BAD_BUFFER) << cut;
        EXPECT_EQ(values, sentinels()) << cut;
    }
    auto values = sentinels();
    answerWith("A\r");
    EXPECT_EQ(tvxTransaction(COM_DEFAULT_PGM, "PB", "", values.data()).code, COM_OK);
}

TEST_F(Tvx, NegativeRepliesReturnTheControllersCode) {
    auto values = sentinels();
    answerWith("N039D\r");
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_BAD_COMMAND);
    answerWith(reply('N', "0e"));
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_BAD_CHN_NUMBER);
    answerWith("N\r");  // no code at all: still a failure
    EXPECT_NE(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_OK);
    answerWith("N00\r");  // a checksum but no code
    EXPECT_NE(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_OK);
    answerWith(reply('N', "0"));  // one code digit only
    EXPECT_NE(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_OK);
    answerWith(reply('N', "00"));  // the controller's own "no error"
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_OK);
    EXPECT_EQ(values, sentinels());
}

TEST_F(Tvx, BadRepliesAreBadBufferAndStoreNothing) {
    const std::vector<std::pair<const char*, std::string>> replies = {
        {"checksum off by one", reply('A', "1234", 1)},
        {"only CR", "\r"},
        {"two characters", "A0\r"},
        {"128 characters", reply('A', std::string(125, '0'))},
        {"ends on a byte with the top bit", "A12\x80"},
        {"negative with a bad checksum", reply('N', "03", 1)},
    };
    for (const auto& [what, text] : replies) {
        SCOPED_TRACE(what);
        auto values = sentinels();
        replyFieldCount = 99;
        answerWith(text);
        EXPECT_EQ(tvxTransaction(COM_MODEL, "", "WW", values.data()).code, COM_BAD_BUFFER);
        EXPECT_EQ(values, sentinels());
        EXPECT_EQ(replyFieldCount, 99);
    }
}

TEST_F(Tvx, LongestAcceptedReplyHas127Characters) {
    std::vector<int> values(64, kSentinel);
    answerWith(reply('A', std::string(124, '1')));
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", std::string(62, 'B').c_str(), values.data()).code, COM_OK);
    EXPECT_EQ(values[61], 0x11);
    EXPECT_EQ(values[62], kSentinel);
}

TEST_F(Tvx, ReplyFillingTheBufferIsNotReadPastItsEnd) {
    auto values = sentinels();
    answerWith(std::string(300, 'A'));
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_BAD_BUFFER);
    EXPECT_EQ(line->incoming.size(), 300u - 256u);
    EXPECT_EQ(values, sentinels());
    line->incoming.clear();

    answerWith(
        "A1\xFF"
        "234\r");
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_BAD_BUFFER);
    EXPECT_EQ(line->incoming.size(), 4u);  // stopped at the 0xFF
}

TEST_F(Tvx, UnknownSendLetterSendsNothing) {
    int values[2] = {1, 2};
    line->onSend = nullptr;
    EXPECT_EQ(tvxTransaction(COM_DEFAULT_PGM, "PX", "", values).code, COM_BAD_FORMAT);
    EXPECT_EQ(tvxTransaction(COM_DEFAULT_PGM, "p", "", values).code, COM_BAD_FORMAT);
    EXPECT_EQ(line->sent, "");
}

TEST_F(Tvx, OverlongSendFormatIsRefusedNotOverrun) {
    std::vector<int> values(300, 0xFFFF);
    EXPECT_EQ(tvxTransaction(COM_DEFAULT_PGM, std::string(300, 'W').c_str(), "", values.data()).code, COM_BAD_FORMAT);
    EXPECT_EQ(line->sent, "");
}

TEST_F(Tvx, UnknownReceiveLetterIsReportedAfterParsingTheRest) {
    auto values = sentinels();
    answerWith(reply('A', "0A0B"));
    EXPECT_EQ(tvxTransaction(COM_RATE_SETUP, "G", "BGB", values.data()).code, COM_BAD_FORMAT);
    EXPECT_EQ(values[0], 0x0A);
    EXPECT_EQ(values[1], 0x0B);
    EXPECT_EQ(values[2], kSentinel);
    EXPECT_EQ(replyFieldCount, 3);
}

// Unlike the MODBUS wait, the TVX wait leaves the keyboard alone: a key
// pressed meanwhile is still there for whoever asks next.
TEST_F(Tvx, KeysPressedDuringTheWaitAreKept) {
    console.keys = {'a', 27};
    auto values = sentinels();
    answerWith(reply('A', "0FA3"));
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_OK);
    EXPECT_EQ(values[0], 0x0FA3);
    EXPECT_EQ(console.keys.size(), 2u);
    EXPECT_EQ(console.keysRead, 0);
}

TEST_F(Tvx, ClosedLineTimesOutAtOnce) {
    serialPort.close();
    auto values = sentinels();
    EXPECT_EQ(tvxTransaction(COM_MODEL, "", "W", values.data()).code, COM_TIMEOUT);
    EXPECT_EQ(values, sentinels());
}

TEST(TvxNames, CommandAndResultNames) {
    EXPECT_STREQ(tvxCommandName(COM_MODEL), "COM_MODEL");
    EXPECT_STREQ(tvxCommandName(COM_SPEED_COMP_VAL), "COM_SPEED_COMP_VAL");
    EXPECT_STREQ(tvxCommandName(COM_TIME), "COM_TIME");
    EXPECT_STREQ(tvxCommandName(COM_EN_AN), "COM_EN_AN");
    EXPECT_STREQ(tvxCommandName(COM_CMD_CNT), "COM_CMD_CNT");
    EXPECT_EQ(tvxCommandName(105), nullptr);
    EXPECT_EQ(tvxCommandName(-1), nullptr);
    EXPECT_EQ(tvxCommandName(110), nullptr);
    EXPECT_STREQ(tvxResultName(COM_OK), "COM_OK");
    EXPECT_STREQ(tvxResultName(COM_TIMEOUT), "COM_TIMEOUT");
    EXPECT_STREQ(tvxResultName(COM_KBD_CONFLICT), "COM_KBD_CONFLICT");
    EXPECT_EQ(tvxResultName(16), nullptr);
}

TEST(TvxNames, PrintersWriteTheirLines) {
    link_test::ScriptedConsole console;
    platform::setConsole(&console);
    setLineConsole({nullptr, nullptr, conPuts});
    printCommandName(COM_MODEL);
    printCommandName(106);
    printResultName(COM_OK);
    printResultName(42);
    printResultName(COM_KBD_CONFLICT);
    printResultName(-1);
    printCommandName(COM_CMD_CNT);
    setLineConsole({});
    platform::setConsole(nullptr);
    // Only a named result ends its line.
    EXPECT_EQ(console.output,
              "    COM_MODEL:    UNKNOWN COM_value:COM_OK\nUNKNOWN COM_value(1)COM_KBD_CONFLICT\n"
              "UNKNOWN COM_value(1)    COM_CMD_CNT:");
}

}  // namespace
