#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "link/hex.h"
#include "handlers/exchange_rules.h"
#include "link/modbus.h"
#include "link_fixture.h"
#include "support/modbus_frames.h"

namespace {

// An ASCII frame for the given bytes with its LRC appended, its hex digits
// in lower case when asked.
std::string frame(const std::vector<int>& bytes, bool lowerCase = false) {
    std::string text = testing_support::modbusFrame(bytes);
    if (!lowerCase) return text;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

constexpr int kSentinel = -12345;
std::array<int, 8> sentinels() {
    std::array<int, 8> v;
    v.fill(kSentinel);
    return v;
}

TEST(Hex, FormatWritesFixedWidthUpperCase) {
    char buffer[8];
    EXPECT_EQ(formatHex(buffer, 0x1A5, 2), buffer + 2);
    EXPECT_STREQ(buffer, "A5");
    formatHex(buffer, static_cast<unsigned>(-1), 4);
    EXPECT_STREQ(buffer, "FFFF");
    formatHex(buffer, 0xB, 3);
    EXPECT_STREQ(buffer, "00B");
    buffer[0] = 'x';
    EXPECT_EQ(formatHex(buffer, 0x12, 0), buffer);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(Hex, ParseIsLenientAndStopsAtFiveCharacters) {
    EXPECT_EQ(parseHex("ff", 2), 255);
    EXPECT_EQ(parseHex("FF", 2), 255);
    EXPECT_EQ(parseHex("aB9", 3), 0xAB9);
    EXPECT_EQ(parseHex("1234567", 7), 0x12345);
    EXPECT_EQ(parseHex("G", 1), 16);  // no character is rejected
    EXPECT_EQ(parseHex("z", 1), 35);
    EXPECT_EQ(parseHex(" ", 1), -16);
    EXPECT_EQ(parseHex("\r", 1), 13 - 48);
    EXPECT_EQ(parseHex("12", 0), 0);
}

using Modbus = link_test::ScriptedLink;

TEST_F(Modbus, RequestsAreFramedByteExact) {
    struct Case {
        int code, reg, count;
        std::vector<int> values;
        std::string request;
    };
    const std::vector<Case> cases = {
        {3, 1, 1, {}, ":010300000001FB\r\n"},
        {5, 316, 1, {1}, ":0105013BFF00BF\r\n"},
        {16, 274, 2, {10, 65535}, ":01100111000204000AFFFFCF\r\n"},
        {16, 274, 2, {10, -1}, ":01100111000204000AFFFFCF\r\n"},
        {5, 316, 1, {2}, frame({1, 5, 0x01, 0x3B, 0x00, 0x00})},
        {1, 10, 3, {}, frame({1, 1, 0x00, 0x09, 0x00, 0x03})},
        {2, 256, 1, {}, frame({1, 2, 0x00, 0xFF, 0x00, 0x01})},
        {6, 300, 1, {0x12345}, frame({1, 6, 0x01, 0x2B, 0x23, 0x45})},
        {15, 20, 16, {0xA55A}, frame({1, 15, 0x00, 0x13, 0x00, 0x10, 2, 0x5A, 0xA5})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::vector<int> values = c.values;
        values.resize(8, 0);
        answerWith(frame({1, c.code, 0, 0, 0, 0}));  // any reply; only the request counts here
        modbusTransaction(c.code, c.reg, c.count, values.data());
        EXPECT_EQ(line->sent, c.request);
    }
}

TEST_F(Modbus, UnitAddressIsTheLowByteOfTheSetting) {
    commSettings.unitAddress = 0x1FE;
    int value = 0;
    answerWith(frame({0xFE, 3, 2, 0x00, 0x07}));
    EXPECT_EQ(modbusTransaction(3, 1, 1, &value).code, 0);
    EXPECT_EQ(line->sent, frame({0xFE, 3, 0, 0, 0, 1}));
    EXPECT_EQ(value, 7);
}

TEST_F(Modbus, ReadRepliesStoreTheirData) {
    auto values = sentinels();
    answerWith(frame({1, 3, 4, 0x00, 0x0A, 0xFF, 0xFF}, true));
    EXPECT_EQ(modbusTransaction(3, 274, 2, values.data()).code, 0);
    EXPECT_EQ(values[0], 10);
    EXPECT_EQ(values[1], 65535);  // never -1
    EXPECT_EQ(values[2], kSentinel);

    values = sentinels();
    answerWith(frame({1, 1, 1, 0x05}));
    EXPECT_EQ(modbusTransaction(1, 10, 3, values.data()).code, 0);
    EXPECT_EQ(values[0], 5);
    EXPECT_EQ(values[1], kSentinel);

    values = sentinels();
    answerWith(frame({1, 2, 2, 0xF0, 0x81}));
    EXPECT_EQ(modbusTransaction(2, 1, 9, values.data()).code, 0);
    EXPECT_EQ(values[0], 0xF0);
    EXPECT_EQ(values[1], 0x81);
    EXPECT_EQ(values[2], kSentinel);
}

TEST_F(Modbus, WriteRepliesAreEchoes) {
    int values[2] = {10, 20};
    int on[1] = {1};
    answerWith(frame({1, 5, 0x01, 0x3B, 0xFF, 0x00}));
    EXPECT_EQ(modbusTransaction(5, 316, 1, on).code, 0);
    // An echo is compared in full: another coil, value, address or count is
    // the echo of another request.
    answerWith(frame({1, 5, 0x01, 0x3B, 0x00, 0x00}));
    EXPECT_EQ(modbusTransaction(5, 316, 1, on).code, -1);
    answerWith(frame({1, 16, 0x01, 0x11, 0x00, 0x01}));
    EXPECT_EQ(modbusTransaction(16, 274, 2, values).code, -1);
    answerWith(frame({1, 16, 0x01, 0x12, 0x00, 0x02}));
    EXPECT_EQ(modbusTransaction(16, 274, 2, values).code, -1);
    answerWith(frame({1, 6, 0x01, 0x2B, 0x00, 0x0A}));
    EXPECT_EQ(modbusTransaction(6, 300, 1, values).code, 0);
    answerWith(frame({1, 15, 0x00, 0x13, 0x00, 0x10}));
    EXPECT_EQ(modbusTransaction(15, 20, 16, values).code, 0);
    answerWith(frame({1, 16, 0x01, 0x11, 0x00, 0x02}));
    EXPECT_EQ(modbusTransaction(16, 274, 2, values).code, 0);
    EXPECT_EQ(values[0], 10);
    EXPECT_EQ(values[1], 20);
}

TEST_F(Modbus, ExceptionReplyReturnsItsCode) {
    auto values = sentinels();
    answerWith(":0183027A\r\n");
    EXPECT_EQ(modbusTransaction(3, 1, 1, values.data()).code, 2);
    answerWith(frame({1, 0x90, 4}));
    EXPECT_EQ(modbusTransaction(16, 274, 2, values.data()).code, 4);
    // An exception without a code is no success.
    answerWith(frame({1, 0x83, 0}));
    EXPECT_EQ(modbusTransaction(3, 1, 1, values.data()).code, -1);
    EXPECT_EQ(values, sentinels());
}

TEST_F(Modbus, MalformedOrMismatchedRepliesFailAndStoreNothing) {
    const std::string good = frame({1, 3, 4, 0x12, 0x34, 0x56, 0x78});
    std::string badLrc = good;
    badLrc[15] = badLrc[15] == '0' ? '1' : '0';
    std::string oddDigits = good;
    oddDigits.erase(3, 1);
    std::string notHex = good;
    notHex[7] = 'G';
    const std::vector<std::pair<const char*, std::string>> replies = {
        {"bad LRC", badLrc},
        {"other unit", frame({2, 3, 4, 0x12, 0x34, 0x56, 0x78})},
        {"other function", frame({1, 4, 4, 0x12, 0x34, 0x56, 0x78})},
        {"other function with a zero after it", frame({1, 4, 0, 0})},
        {"no start character", good.substr(1)},
        {"other start character", ";" + good.substr(1)},
        {"noise before the start", "x" + good},
        {"odd digit count", oddDigits},
        {"not a hex digit", notHex},
        {"no CR", good.substr(0, good.size() - 2) + "\n"},
        {"byte count short", frame({1, 3, 2, 0x12, 0x34})},
        {"data short of the byte count", frame({1, 3, 4, 0x12, 0x34})},
        {"data beyond the byte count", frame({1, 3, 4, 0x12, 0x34, 0x56, 0x78, 0x9A})},
        {"ends on a byte with the top bit", good.substr(0, 9) + "\xC1"},
        {"LF alone", "\n"},
        {"start and line end only", ":\r\n"},
        {"exception with extra data", frame({1, 0x83, 2, 0})},
    };
    for (const auto& [what, reply] : replies) {
        SCOPED_TRACE(what);
        auto values = sentinels();
        answerWith(reply);
        EXPECT_EQ(modbusTransaction(3, 1, 2, values.data()).code, -1);
        EXPECT_EQ(values, sentinels());
        line->incoming.clear();
    }
}

TEST_F(Modbus, WriteEchoOfTheWrongLengthFails) {
    int value = 1;
    answerWith(frame({1, 5, 0x01, 0x3B, 0xFF}));
    EXPECT_EQ(modbusTransaction(5, 316, 1, &value).code, -1);
    answerWith(frame({1, 5, 0x01, 0x3B, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(modbusTransaction(5, 316, 1, &value).code, -1);
}

TEST_F(Modbus, OverlongReplyStopsAtTheBufferEnd) {
    auto values = sentinels();
    answerWith(":" + std::string(299, '0') + "\r\n");
    EXPECT_EQ(modbusTransaction(3, 1, 1, values.data()).code, -1);
    EXPECT_EQ(values, sentinels());
    // 255 characters were taken; the rest were never read.
    EXPECT_EQ(line->incoming.size(), 302u - 255u);
}

TEST_F(Modbus, LongestReplyThatFitsIsRead) {
    std::vector<int> bytes = {1, 3, 122};
    for (int i = 0; i < 122; ++i) bytes.push_back(i);
    const std::string reply = frame(bytes);
    ASSERT_EQ(reply.size(), 255u);
    std::vector<int> values(61, kSentinel);
    answerWith(reply);
    EXPECT_EQ(modbusTransaction(3, 1, 61, values.data()).code, 0);
    EXPECT_EQ(values[60], 120 * 256 + 121);
}

TEST_F(Modbus, CountsBeyondTheBuffersSendNothing) {
    std::vector<int> values(200, 0);
    EXPECT_EQ(modbusTransaction(3, 1, 62, values.data()).code, -1);
    EXPECT_EQ(modbusTransaction(16, 1, 124, values.data()).code, -1);
    EXPECT_EQ(modbusTransaction(3, 1, -1, values.data()).code, -1);
    EXPECT_EQ(line->sent, "");
}

TEST_F(Modbus, KeysPressedDuringTheWaitAreDropped) {
    console.keys = {'a', 27, 'q'};
    int value = kSentinel;
    answerWith(frame({1, 3, 2, 0x00, 0x2A}));
    EXPECT_EQ(modbusTransaction(3, 1, 1, &value).code, 0);
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(console.keys.empty());
}

TEST_F(Modbus, CoilWritesOnlyUnderModbus) {
    commSettings.protocol = kModbus;
    answerWith(frame({1, 5, 0x01, 0x3B, 0xFF, 0x00}));
    writeCoil316(1);
    EXPECT_EQ(line->sent, ":0105013BFF00BF\r\n");
    answerWith(frame({1, 5, 0x01, 0x39, 0x00, 0x00}));
    writeCoil314(0);
    EXPECT_EQ(line->sent, frame({1, 5, 0x01, 0x39, 0x00, 0x00}));

    for (uint8_t protocol : {kAutoDetect, kTvxStandard}) {
        commSettings.protocol = protocol;
        line->sent.clear();
        line->onSend = nullptr;
        writeCoil316(1);
        writeCoil314(1);
        EXPECT_EQ(line->sent, "");
    }
}

TEST_F(Modbus, ClosedLineFailsAtOnce) {
    serialPort.close();
    console.keys = {' '};
    int value = kSentinel;
    EXPECT_EQ(modbusTransaction(3, 1, 1, &value).code, -1);
    EXPECT_EQ(value, kSentinel);
    EXPECT_EQ(console.output, "write error #1 to comm port");
}

}  // namespace
