// The telnet layer over bytes, and the network forms of a port name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/line_device.h"
#include "platform/telnet_codec.h"

namespace tn = platform::telnet;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> input;
    std::vector<uint8_t> data;
    int events;
};

class TelnetDecoding : public testing::TestWithParam<DecodeCase> {};

// Whatever way the stream is cut into reads, the same data bytes come out
// and the same commands are consumed.
TEST_P(TelnetDecoding, DataAndCommandsApart) {
    const DecodeCase& c = GetParam();
    for (std::size_t cut = 1; cut <= c.input.size(); ++cut) {
        tn::Decoder decoder;
        std::vector<uint8_t> data;
        std::vector<tn::Event> events;
        for (std::size_t at = 0; at < c.input.size(); at += cut) {
            decoder.feed(c.input.data() + at, std::min(cut, c.input.size() - at), data, events);
        }
        EXPECT_EQ(data, c.data) << "reads of " << cut;
        EXPECT_EQ(static_cast<int>(events.size()), c.events) << "reads of " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, TelnetDecoding,
    testing::Values(
        DecodeCase{"plain", bytes({':', '0', '1', '\r', '\n'}), bytes({':', '0', '1', '\r', '\n'}), 0},
        DecodeCase{"doubled_iac", bytes({'A', 255, 255, 'B'}), bytes({'A', 255, 'B'}), 0},
        DecodeCase{"option_requests", bytes({255, 251, 3, 'x', 255, 253, 44, 255, 254, 1}), bytes({'x'}), 3},
        // NOTIFY-MODEMSTATE amid a reply, its value an escaped 255.
        DecodeCase{"notification", bytes({'A', 255, 250, 44, 107, 255, 255, 255, 240, 'B'}), bytes({'A', 'B'}), 1},
        DecodeCase{"nop_and_go_ahead", bytes({255, 241, 'a', 255, 249, 'b'}), bytes({'a', 'b'}), 0},
        // A command inside a subnegotiation ends it; the command counts.
        DecodeCase{"broken_subnegotiation", bytes({255, 250, 44, 101, 255, 251, 0, 'z'}), bytes({'z'}), 2},
        DecodeCase{"unfinished_at_end", bytes({'q', 255, 250, 44, 1, 2}), bytes({'q'}), 0}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(TelnetCodec, SubnegotiationsAreBounded) {
    tn::Decoder decoder;
    std::vector<uint8_t> input = bytes({255, 250, 44, 107});
    input.insert(input.end(), 1000, 7);
    input.insert(input.end(), {255, 240, 'k'});
    std::vector<uint8_t> data;
    std::vector<tn::Event> events;
    decoder.feed(input.data(), input.size(), data, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].truncated);
    EXPECT_LE(events[0].payload.size(), tn::kMaxSubnegotiation);
    EXPECT_FALSE(tn::comPortAnswer(events[0]));
    EXPECT_EQ(data, bytes({'k'}));
}

TEST(TelnetCodec, CommandsOnTheWayOut) {
    const std::vector<uint8_t> frame = bytes({'!', 255, '\r'});
    std::vector<uint8_t> out;
    tn::appendEscaped(out, frame.data(), frame.size());
    EXPECT_EQ(out, bytes({'!', 255, 255, '\r'}));
    EXPECT_EQ(tn::comPortCommand(tn::kSetBaudRate, tn::baudRateValue(19200)),
              bytes({255, 250, 44, 1, 0, 0, 0x4B, 0, 255, 240}));
    EXPECT_EQ(tn::comPortCommand(tn::kSetBaudRate, tn::baudRateValue(0xFF)),
              bytes({255, 250, 44, 1, 0, 0, 0, 255, 255, 255, 240}));
}

// A line setting as it goes out and as a message about a server's answer
// names it.
TEST(TelnetCodec, SettingsInWords) {
    struct Row {
        uint8_t command;
        std::vector<uint8_t> value;
        const char* words;
    };
    const Row rows[] = {
        {tn::kSetBaudRate, tn::baudRateValue(19200), "19200"},
        {tn::kSetBaudRate, bytes({0x4B, 0}), "a malformed value"},
        {tn::kSetDataSize, {7}, "7"},
        {tn::kSetParity, {tn::parityValue(platform::Parity::None)}, "none"},
        {tn::kSetParity, {tn::parityValue(platform::Parity::Odd)}, "odd"},
        {tn::kSetParity, {tn::parityValue(platform::Parity::Even)}, "even"},
        {tn::kSetParity, {9}, "code 9"},
        {tn::kSetStopSize, {tn::stopSizeValue(2)}, "2"},
        {tn::kSetStopSize, {3}, "1.5"},
    };
    for (const Row& row : rows) EXPECT_EQ(tn::describe(row.command, row.value), row.words) << row.words;
}

// The server's side of a negotiation as ser2net opens it: what the client
// answers, and what it then holds as agreed.
TEST(TelnetCodec, OptionNegotiation) {
    tn::OptionTable table(true);
    EXPECT_EQ(table.opening(), bytes({255, 251, 44, 255, 251, 0, 255, 253, 0}));
    const std::vector<uint8_t> server = bytes(
        {255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44, 255, 251, 1});
    tn::Decoder decoder;
    std::vector<uint8_t> data;
    std::vector<tn::Event> events;
    decoder.feed(server.data(), server.size(), data, events);
    std::vector<uint8_t> reply;
    for (const tn::Event& event : events) table.note(event, reply);
    // Go-ahead suppressed both ways; the echo refused once, not again.
    EXPECT_EQ(reply, bytes({255, 253, 3, 255, 251, 3, 255, 254, 1}));
    EXPECT_EQ(table.localEnabled(tn::kOptionComPort), true);
    EXPECT_EQ(table.localEnabled(tn::kOptionBinary), true);
    EXPECT_EQ(table.remoteEnabled(tn::kOptionBinary), true);

    tn::OptionTable refusing(true);
    refusing.opening();
    reply.clear();
    tn::Event dont;
    dont.kind = tn::Event::Dont;
    dont.option = tn::kOptionComPort;
    refusing.note(dont, reply);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(refusing.localEnabled(tn::kOptionComPort), false);
}

TEST(NetworkPortNames, Forms) {
    struct Row {
        const char* name;
        platform::LineKind kind;
        const char* host;
        const char* port;
    };
    const Row rows[] = {
        {"rfc2217://plant-gw.local:4001", platform::LineKind::Rfc2217, "plant-gw.local", "4001"},
        {"tcp://192.168.1.20:2001", platform::LineKind::Tcp, "192.168.1.20", "2001"},
        {"TCP://[::1]:65535", platform::LineKind::Tcp, "::1", "65535"},
        {"rfc2217://[fe80::1:2]:1", platform::LineKind::Rfc2217, "fe80::1:2", "1"},
    };
    for (const Row& row : rows) {
        platform::NetworkPort port;
        ASSERT_TRUE(platform::parseNetworkPort(row.name, port)) << row.name;
        EXPECT_EQ(port.kind, row.kind) << row.name;
        EXPECT_EQ(port.host, row.host) << row.name;
        EXPECT_EQ(port.port, row.port) << row.name;
    }
    for (const char* wrong : {"tcp://host", "tcp://host:", "tcp://:4001", "tcp://host:0", "tcp://host:65536",
                              "tcp://host:40x1", "tcp://::1:4001", "tcp://[::1]4001", "tcp://[host]:1", "udp://h:1",
                              "rfc2217://a b:1", "tcp://h:1/x", "COM1", "/dev/ttyS0"}) {
        platform::NetworkPort port;
        EXPECT_FALSE(platform::parseNetworkPort(wrong, port)) << wrong;
        EXPECT_EQ(platform::lineKind(wrong), platform::LineKind::Serial) << wrong;
    }
}

}  // namespace
