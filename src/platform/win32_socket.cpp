// TCP connections on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"

namespace platform {

namespace {

bool started() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

std::string systemText(int code) {
    char text[256] = {0};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "error " + std::to_string(code) : out;
}

int remainingMs(int64_t deadline) {
    const int64_t left = deadline - monotonicMicros();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// select() on one socket until `deadline`: >0 ready, 0 time-out, <0 error.
int waitFor(SOCKET s, bool write, int64_t deadline, bool* failed = nullptr) {
    fd_set ready;
    fd_set errors;
    FD_ZERO(&ready);
    FD_ZERO(&errors);
    FD_SET(s, &ready);
    FD_SET(s, &errors);
    const int ms = remainingMs(deadline);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &errors, &wait);
    if (failed != nullptr) *failed = n > 0 && FD_ISSET(s, &errors);
    return n;
}

SOCKET connectOne(const addrinfo& address, int64_t deadline, int& error) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        bool failed = false;
        const int n = waitFor(s, true, deadline, &failed);
        error = 0;
        if (n == 0) {
            error = WSAETIMEDOUT;
        } else if (n < 0) {
            error = WSAGetLastError();
        } else if (failed) {
            int code = 0;
            int size = sizeof code;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size);
            error = code != 0 ? code : WSAECONNREFUSED;
        }
        if (error != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    // A server that vanished without a word is noticed within a minute or so.
    tcp_keepalive keepalive{1, 20000, 5000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
#ifdef SIO_TCP_SET_ACK_FREQUENCY
    // Every segment acknowledged at once: a server that sends a reply in
    // pieces with Nagle's algorithm on would otherwise wait for a delayed
    // acknowledgement before each piece.
    DWORD frequency = 1;
    WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr, nullptr);
#endif
    return s;
}

}  // namespace

SocketHandle connectTcp(const std::string& host, const std::string& port, int timeoutMs, std::string& error) {
    if (!started()) {
        error = systemText(WSAGetLastError());
        return kNoSocket;
    }
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        error = systemText(resolved);
        return kNoSocket;
    }
    int lastError = WSAETIMEDOUT;
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* address = found; address != nullptr && s == INVALID_SOCKET; address = address->ai_next) {
        if (remainingMs(deadline) == 0) break;
        s = connectOne(*address, deadline, lastError);
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        error = systemText(lastError);
        return kNoSocket;
    }
    return static_cast<SocketHandle>(s);
}

bool sendAll(SocketHandle socket, const uint8_t* data, std::size_t length, int timeoutMs, std::string& error) {
    const SOCKET s = static_cast<SOCKET>(socket);
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    while (length > 0) {
        const int chunk = length > 65536 ? 65536 : static_cast<int>(length);
        const int n = ::send(s, reinterpret_cast<const char*>(data), chunk, 0);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        const int code = WSAGetLastError();
        if (n < 0 && code == WSAEWOULDBLOCK) {
            if (waitFor(s, true, deadline) <= 0) {
                error = systemText(WSAETIMEDOUT);
                return false;
            }
            continue;
        }
        error = systemText(code);
        return false;
    }
    return true;
}

bool waitReadable(SocketHandle socket, int timeoutMs) {
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    return waitFor(static_cast<SOCKET>(socket), false, deadline) > 0;
}

Received receiveSome(SocketHandle socket, uint8_t* buffer, std::size_t size, std::string& error) {
    const int n = ::recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                         size > 65536 ? 65536 : static_cast<int>(size), 0);
    if (n > 0) return {Received::Kind::Data, static_cast<std::size_t>(n)};
    if (n == 0) return {Received::Kind::Closed, 0};
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return {Received::Kind::Nothing, 0};
    error = systemText(code);
    return {Received::Kind::Failed, 0};
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) closesocket(static_cast<SOCKET>(socket));
}

}  // namespace platform
