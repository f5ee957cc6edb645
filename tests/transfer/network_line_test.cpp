// Lines behind a serial device server: the real ser2net on loopback in front
// of the simulator's pseudo-terminal, with a telnet (RFC 2217) accepter and a
// raw TCP accepter.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ser2net_server.h"
#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::ChildProcess;
using testing_support::freePort;
using testing_support::haveSer2net;
using testing_support::readFile;
using testing_support::Ser2net;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::maskDate;
using transfer_test::runLinkora;
using transfer_test::SimProcess;
using transfer_test::valueLines;

namespace {

const std::string kData = std::string(LINKORA_TEST_DATA) + "/transfer/";

struct Route {
    const char* protocol;  // the simulator's and LINKORA_PROTOCOL's name
    bool telnet;
};

void PrintTo(const Route& route, std::ostream* out) {
    *out << route.protocol << (route.telnet ? " over rfc2217" : " over tcp");
}

class NetworkTransfer : public testing::TestWithParam<Route> {};

// Upload and download through each accepter in each protocol give what the
// local line gives.
TEST_P(NetworkTransfer, GivesWhatTheLocalLineGives) {
    if (!haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    const Route route = GetParam();
    TempDir dir;
    SimProcess sim(dir, {"--protocol", route.protocol, "--load", kData + "model4444.dat", "--reset-delay", "0"});
    Ser2net server(dir, sim.devicePath);
    ASSERT_TRUE(server.ready);
    const std::string port = route.telnet ? server.rfc2217() : server.tcp();
    const std::vector<std::string> env{std::string("LINKORA_PROTOCOL=") + route.protocol};
    std::string output;

    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "19200", "local.dat"}, output, dir.path, env), 0) << output;
    ASSERT_EQ(runLinkora({"u", "1", port, "19200", "net.dat"}, output, dir.path, env), 0) << output;
    EXPECT_EQ(maskDate(readFile(dir.file("net.dat"))), maskDate(readFile(dir.file("local.dat"))));
    if (!route.telnet) {
        EXPECT_NE(output.find("with the server's line settings"), std::string::npos) << output;
    }

    // The file with other values, downloaded through the server, and read
    // back over the local line.
    std::string other = readFile(dir.file("local.dat"));
    for (const auto& [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"\n9: 1,5", "\n9: 1,55"}, {"\n9: 2,6", "\n9: 2,66"}}) {
        ASSERT_NE(other.find(from), std::string::npos) << from;
        other.replace(other.find(from), from.size(), to);
    }
    writeFile(dir.file("other.dat"), other);
    ASSERT_EQ(runLinkora({"d", "1", port, "19200", "other.dat"}, output, dir.path, env), 0) << output;
    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "19200", "after.dat"}, output, dir.path, env), 0) << output;
    EXPECT_EQ(valueLines(readFile(dir.file("after.dat"))), valueLines(other));
}

INSTANTIATE_TEST_SUITE_P(Routes, NetworkTransfer,
                         testing::Values(Route{"modbus", true}, Route{"tvx", true}, Route{"modbus", false},
                                         Route{"tvx", false}),
                         [](const testing::TestParamInfo<Route>& info) {
                             return std::string(info.param.protocol) + (info.param.telnet ? "_rfc2217" : "_tcp");
                         });

// Auto Detect switches the line's format through the server: MODBUS at
// 7N2, then TVX Standard at 8N1, at the baud rate asked for (the
// pseudo-terminal keeps 8 data bits whatever is asked).
TEST(NetworkLine, AutoDetectSetsTheLineThroughTheServer) {
    if (!haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "tvx"});
    Ser2net server(dir, sim.devicePath);
    ASSERT_TRUE(server.ready);
    std::string output;
    // Named through LINKORA_COM2, as the menus' COM2 would reach it.
    ASSERT_EQ(
        runLinkora({"u", "1", "COM2", "4800", "auto.dat"}, output, dir.path, {"LINKORA_COM2=" + server.rfc2217()}), 0)
        << output;
    EXPECT_NE(output.find("on COM2 (" + server.rfc2217() + ") at 4800 baud"), std::string::npos) << output;
    EXPECT_NE(output.find("Success: TVX Standard selected."), std::string::npos) << output;
    const std::string log = sim.log();
    const std::size_t modbus = log.find("# line settings: 4800 baud, 8N2");
    const std::size_t tvx = log.find("# line settings: 4800 baud, 8N1");
    ASSERT_NE(modbus, std::string::npos) << log;
    ASSERT_NE(tvx, std::string::npos) << log;
    EXPECT_LT(modbus, tvx);
}

// A port that cannot be used: status 3, the reason on standard error, no
// file made.
TEST(NetworkLine, PortThatCannotBeUsed) {
    if (!haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "modbus"});
    Ser2net server(dir, sim.devicePath);
    ASSERT_TRUE(server.ready);
    std::string output;
    const std::string refused = "tcp://127.0.0.1:" + std::to_string(freePort());
    EXPECT_EQ(runLinkora({"u", "1", refused, "9600", "x.dat"}, output, dir.path), 3) << output;
    EXPECT_NE(output.find("linkora: " + refused + ": Connection refused"), std::string::npos) << output;

    // A second client while the first holds the line: the server says so
    // and closes, through either accepter.
    const int first = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port =
        htons(static_cast<uint16_t>(std::stoi(server.rfc2217().substr(server.rfc2217().rfind(':') + 1))));
    ASSERT_EQ(connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The server has taken the first client once its telnet negotiation
    // arrives.
    ASSERT_TRUE(testing_support::waitReadable(first, 5000));
    for (const auto& [port, text] :
         {std::pair<std::string, std::string>{server.rfc2217(), "Port already in use"},
          std::pair<std::string, std::string>{server.tcp(), "Port's device already in use"}}) {
        EXPECT_EQ(runLinkora({"u", "1", port, "9600", "x.dat"}, output, dir.path), 3) << output;
        EXPECT_NE(output.find("linkora: " + port + ": " + text + "\n"), std::string::npos) << output;
    }
    ::close(first);
    EXPECT_FALSE(std::ifstream(dir.file("x.dat")).good());
}

// No controller at the unit asked for on a raw line: the server's own line
// settings are the first suspect, not the baud rate typed.
TEST(NetworkLine, NoControllerOnARawLine) {
    if (!haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "modbus"});
    Ser2net server(dir, sim.devicePath);
    ASSERT_TRUE(server.ready);
    std::string output;
    EXPECT_EQ(runLinkora({"u", "9", server.tcp(), "9600", "x.dat"}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}), 4)
        << output;
    EXPECT_NE(output.find("check the server's own line settings"), std::string::npos) << output;
}

// The server killed during an upload: a lost connection, not a controller
// that stopped answering. The old file stays, and the upload ends at once rather than after a time-out
// for every block still to go.
TEST(NetworkLine, ServerKilledDuringUpload) {
    if (!haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    SimProcess sim(dir, {"--baud", "9600"});
    Ser2net server(dir, sim.devicePath);
    ASSERT_TRUE(server.ready);
    writeFile(dir.file("old.dat"), "the old file\r\n");
    ChildProcess linkora({LINKORA_BIN, "u", "1", server.rfc2217(), "9600", dir.file("old.dat")},
                         dir.file("linkora.out"), dir.path);
    // Killed once the block reads are under way.
    for (int i = 0; i < 200; ++i) {
        const std::string log = sim.log();
        int requests = 0;
        for (std::size_t at = log.find(" RX "); at != std::string::npos; at = log.find(" RX ", at + 1)) ++requests;
        if (requests >= 20) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop(SIGKILL);
    EXPECT_EQ(linkora.wait(20000), 1) << readFile(dir.file("linkora.out"));
    EXPECT_EQ(readFile(dir.file("old.dat")), "the old file\r\n");
    // Named as what it is, with the system's reason.
    EXPECT_NE(readFile(dir.file("linkora.out")).find("The network connection was lost: "), std::string::npos)
        << readFile(dir.file("linkora.out"));
}

// A server of the test's own on loopback that accepts one connection after
// another and sends to each without end, in one of the ways a server or a
// device behind it may babble; stopped on destruction.
enum class Babble { Bytes, TelnetNops, EndlessSubnegotiation, Trickle };

class BabblingServer {
public:
    explicit BabblingServer(Babble kind) : kind_(kind) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, 4) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port = ntohs(address.sin_port);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~BabblingServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port = 0;

private:
    void serve() {
        while (!stop_) {
            if (!testing_support::waitReadable(listener_, 50)) continue;
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            babbleTo(client);
            ::close(client);
        }
    }
    void babbleTo(int client) {
        std::vector<uint8_t> chunk;
        if (kind_ == Babble::EndlessSubnegotiation) chunk = {255, 250, 44};
        for (int i = 0; i < 256; ++i) {
            if (kind_ == Babble::TelnetNops) {
                chunk.insert(chunk.end(), {255, 241});
            } else {
                chunk.push_back('A');
            }
        }
        std::size_t at = 0;
        while (!stop_) {
            pollfd p{client, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const std::size_t length = kind_ == Babble::Trickle ? 1 : chunk.size() - at;
            const ssize_t sent = send(client, chunk.data() + at, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN) return;  // the client is gone
            if (sent > 0) at = (at + static_cast<std::size_t>(sent)) % chunk.size();
            // The subnegotiation is opened once and never ended.
            if (kind_ == Babble::EndlessSubnegotiation && at == 0) at = 3;
            if (kind_ == Babble::Trickle) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    Babble kind_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct BabbleCase {
    Babble kind;
    const char* scheme;
    const char* name;
};

void PrintTo(const BabbleCase& babble, std::ostream* out) { *out << babble.name; }

class BabblingLine : public testing::TestWithParam<BabbleCase> {};

// A line that never stops sending ends the attempt within a bounded time,
// however it babbles, and says so: nothing answered there (status 4).
TEST_P(BabblingLine, EndsAndSaysSo) {
    const BabbleCase babble = GetParam();
    TempDir dir;
    BabblingServer server(babble.kind);
    ASSERT_NE(server.port, 0);
    const std::string port = std::string(babble.scheme) + "127.0.0.1:" + std::to_string(server.port);
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runLinkora({"u", "1", port, "9600", "x.dat"}, output, dir.path, {}, 30000), 4) << output;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 20.0) << output;
    EXPECT_NE(output.find("linkora: " + port + ": the line does not stop sending ("), std::string::npos) << output;
    EXPECT_NE(output.find("a device or server on the line may be babbling"), std::string::npos) << output;
    EXPECT_FALSE(std::ifstream(dir.file("x.dat")).good());
}

INSTANTIATE_TEST_SUITE_P(Ways, BabblingLine,
                         testing::Values(BabbleCase{Babble::Bytes, "tcp://", "bytes"},
                                         BabbleCase{Babble::TelnetNops, "rfc2217://", "telnet_nops"},
                                         BabbleCase{Babble::EndlessSubnegotiation, "rfc2217://", "subnegotiation"},
                                         BabbleCase{Babble::Trickle, "tcp://", "trickle"}),
                         [](const testing::TestParamInfo<BabbleCase>& info) { return info.param.name; });

}  // namespace

#endif
