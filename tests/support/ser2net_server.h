#pragma once
// The real ser2net in the foreground on loopback, with a telnet (RFC 2217)
// accepter and a raw TCP accepter in front of one device, for the tests of
// network lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

inline const char kSer2net[] = "/usr/sbin/ser2net";

// A loopback port nobody listens on at the moment.
inline int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// Whether something listens on the loopback port, from the kernel's table
// (a test connection would make the server open the line).
inline bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted && state == "0A") return true;
    }
    return false;
}

// ser2net in the foreground with both accepters on one device; stopped on
// destruction.
class Ser2net {
public:
    Ser2net(const TempDir& dir, const std::string& device) : rfcPort_(freePort()), tcpPort_(freePort()) {
        const std::string config = dir.file("ser2net.yaml");
        std::string yaml;
        for (const auto& [accepter, port] : {std::pair<std::string, int>{"telnet(rfc2217),tcp", rfcPort_},
                                             std::pair<std::string, int>{"tcp", tcpPort_}}) {
            yaml += "connection: &port" + std::to_string(port) + "\n  accepter: " + accepter + ",127.0.0.1," +
                    std::to_string(port) + "\n  connector: serialdev," + device +
                    ",9600n81,local\n  options:\n    kickolduser: false\n    chardelay: false\n";
        }
        writeFile(config, yaml);
        child_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kSer2net, "-n", "-u", "-c", config, "-P", dir.file("ser2net.pid")},
            dir.file("ser2net.out"));
        for (int i = 0; i < 100 && !(listening(rfcPort_) && listening(tcpPort_)); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ready = listening(rfcPort_) && listening(tcpPort_);
    }
    ~Ser2net() { stop(SIGTERM); }
    void stop(int signal) {
        if (!child_) return;
        child_->kill(signal);
        child_->wait(3000);
        child_.reset();
    }
    std::string rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(rfcPort_); }
    std::string tcp() const { return "tcp://127.0.0.1:" + std::to_string(tcpPort_); }

    bool ready = false;

private:
    int rfcPort_;
    int tcpPort_;
    std::unique_ptr<ChildProcess> child_;
};

inline bool haveSer2net() { return access(kSer2net, X_OK) == 0; }

}  // namespace testing_support
