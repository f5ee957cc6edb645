// A network line against a server that never stops sending: a server of the
// target's own on loopback sends the input (after its first byte) over and
// over to every connection until the connection is closed. The first byte
// chooses the kind of line (raw or telnet) and how many bytes each request
// reads. Every drain of stale input takes at most the byte budget (and one
// read buffer), and every call returns; the line is given up with a reason.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/line_device.h"

namespace {

// What the server sends, cycled without end.
std::mutex inputLock;
std::string input;

void sendWithoutEnd(int client) {
    std::string bytes;
    {
        const std::lock_guard<std::mutex> hold(inputLock);
        bytes = input;
    }
    std::size_t at = 0;
    for (;;) {
        pollfd p{client, POLLOUT, 0};
        if (poll(&p, 1, 100) < 0) return;
        if ((p.revents & (POLLERR | POLLHUP)) != 0) return;
        if ((p.revents & POLLOUT) == 0) continue;
        const ssize_t sent = send(client, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) return;  // the line closed its end
        at = (at + static_cast<std::size_t>(sent)) % bytes.size();
    }
}

// The server: started once, serves one connection after another.
int serverPort() {
    static const int port = [] {
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::abort();
        }
        std::thread([listener] {
            for (;;) {
                const int client = accept(listener, nullptr, nullptr);
                if (client < 0) continue;
                sendWithoutEnd(client);
                ::close(client);
            }
        }).detach();
        return static_cast<int>(ntohs(address.sin_port));
    }();
    return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2 || size > 2048) return 0;
    const bool telnet = (data[0] & 0x80) != 0;
    const int readsPerRequest = 1 + data[0] % 64;
    {
        const std::lock_guard<std::mutex> hold(inputLock);
        input.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }
    const std::string port =
        std::string(telnet ? "rfc2217://" : "tcp://") + "127.0.0.1:" + std::to_string(serverPort());
    std::unique_ptr<platform::LineDevice> line = platform::makeLineDeviceFor(port);
    if (line->open(port) && line->readSettings() && line->applySettings(platform::LineSettings{})) {
        const uint8_t request[] = ":010300000001FB\r\n";
        for (int round = 0; round < 64 && !line->connectionLost(); ++round) {
            const uint64_t before = line->bytesReceived();
            line->discardInput();
            if (line->bytesReceived() - before > platform::kLineByteBudget + 512) std::abort();
            line->write(request, sizeof request - 1);
            uint8_t byte = 0;
            for (int i = 0; i < readsPerRequest; ++i) line->readByte(byte);
        }
    }
    if (line->connectionLost() && line->lastError().empty()) std::abort();
    if (line->babbling() && line->lastError().rfind("the line does not stop sending (", 0) != 0) std::abort();
    line->close();
    return 0;
}
