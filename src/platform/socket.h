#pragma once
// A TCP connection to a network line's server, with the waits bounded. One
// body per platform (BSD sockets, Winsock).
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using SocketHandle = intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Resolves `host` and connects to `port`, trying each address in turn,
// within `timeoutMs` in all. The socket is non-blocking, with TCP_NODELAY
// and keepalive. kNoSocket on failure, `error` then holds the system's
// reason (the resolver's words for a name that is not found).
SocketHandle connectTcp(const std::string& host, const std::string& port, int timeoutMs, std::string& error);

// Sends the whole buffer, waiting at most `timeoutMs` for room. False on an
// error or a time-out (`error` says which).
bool sendAll(SocketHandle socket, const uint8_t* data, std::size_t length, int timeoutMs, std::string& error);

// Waits at most `timeoutMs` until something can be received (data, the
// peer's close, an error): true then, false after the time-out.
bool waitReadable(SocketHandle socket, int timeoutMs);

// What one receive without waiting found.
struct Received {
    enum class Kind {
        Data,     // `bytes` bytes were stored
        Nothing,  // nothing has arrived
        Closed,   // the peer closed the connection
        Failed,   // an error; the call's `error` says which
    } kind = Kind::Nothing;
    std::size_t bytes = 0;
};

// Receives what has arrived without waiting, at most `size` bytes.
Received receiveSome(SocketHandle socket, uint8_t* buffer, std::size_t size, std::string& error);

void closeSocket(SocketHandle socket);

}  // namespace platform
