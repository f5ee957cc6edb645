// TCP connections on BSD sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"

namespace platform {

namespace {

int remainingMs(int64_t deadline) {
    const int64_t left = deadline - monotonicMicros();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// A server that sends a reply in pieces with Nagle's algorithm on (ser2net
// unless its accepter says nodelay) holds each piece until the one before
// it is acknowledged; a delayed acknowledgement here would then add some
// 40 ms to every reply. The system falls back to delaying after a while,
// so this is renewed after every read.
void acknowledgeAtOnce(int fd) {
#ifdef TCP_QUICKACK
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

// Waits for `events` until `deadline`; the poll result (0 on time-out).
int waitFor(int fd, short events, int64_t deadline, short& revents) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR) continue;
        revents = p.revents;
        return n;
    }
}

// One address within the deadline; the descriptor or -1 with errno set.
int connectOne(const addrinfo& address, int64_t deadline) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        short revents = 0;
        const int n = waitFor(fd, POLLOUT, deadline, revents);
        int error = 0;
        socklen_t size = sizeof error;
        if (n == 0) {
            error = ETIMEDOUT;
        } else if (n < 0) {
            error = errno;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            error = errno;
        }
        if (error != 0) {
            ::close(fd);
            errno = error;
            return -1;
        }
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    acknowledgeAtOnce(fd);
#ifdef TCP_KEEPIDLE
    // A server that vanished without a word is noticed within a minute or
    // so, not the system's default two hours.
    const int idle = 20;
    const int interval = 5;
    const int count = 4;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
    return fd;
}

}  // namespace

SocketHandle connectTcp(const std::string& host, const std::string& port, int timeoutMs, std::string& error) {
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        error = resolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(resolved);
        return kNoSocket;
    }
    int lastError = ETIMEDOUT;
    int fd = -1;
    for (addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
        if (remainingMs(deadline) == 0) break;
        fd = connectOne(*address, deadline);
        if (fd < 0) lastError = errno;
    }
    freeaddrinfo(found);
    if (fd < 0) error = std::strerror(lastError);
    return fd < 0 ? kNoSocket : fd;
}

bool sendAll(SocketHandle socket, const uint8_t* data, std::size_t length, int timeoutMs, std::string& error) {
    const int fd = static_cast<int>(socket);
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short revents = 0;
            if (waitFor(fd, POLLOUT, deadline, revents) <= 0) {
                error = std::strerror(ETIMEDOUT);
                return false;
            }
            continue;
        }
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool waitReadable(SocketHandle socket, int timeoutMs) {
    short revents = 0;
    const int64_t deadline = monotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    return waitFor(static_cast<int>(socket), POLLIN, deadline, revents) > 0;
}

Received receiveSome(SocketHandle socket, uint8_t* buffer, std::size_t size, std::string& error) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
        if (n > 0) {
            acknowledgeAtOnce(static_cast<int>(socket));
            return {Received::Kind::Data, static_cast<std::size_t>(n)};
        }
        if (n == 0) return {Received::Kind::Closed, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {Received::Kind::Nothing, 0};
        error = std::strerror(errno);
        return {Received::Kind::Failed, 0};
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::close(static_cast<int>(socket));
}

}  // namespace platform
