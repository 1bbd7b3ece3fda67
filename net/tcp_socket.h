// TCP/IPv4 stream sockets. Addresses and ports are held and passed in host
// byte order; only this layer converts them. Failures are raised as
// SocketError with a fixed text, except connect(), which returns false.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "net/compat.h"

namespace net {

// A failed socket call: the fixed text, and the system's error code for the
// console to say why.
class SocketError : public std::runtime_error {
public:
    SocketError(const char* text, int code) : std::runtime_error(text), code(code) {}
    int code;
};

class TcpSocket {
public:
    TcpSocket() = default;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    void create();
    void bind(uint32_t address, uint16_t port);
    SocketHandle handle() const { return sock; }
    // Shuts the socket down with `how`, then releases it. Callers that share
    // the raw handle with other threads shut it down first, wait for those
    // threads, and only then close.
    void close(int how);

    uint16_t localPort() const { return port; }

protected:
    SocketHandle sock = invalidSocket;
    uint16_t port = 0;
};

class ListenSocket : public TcpSocket {
public:
    void open(uint32_t address, uint16_t port);
    void listen(int backlog);
    // Blocks until a peer connects; `peer` gets its address in network order.
    SocketHandle accept(sockaddr_in& peer);
};

class ConnectSocket : public TcpSocket {
public:
    // Both 0: no local binding; the system picks them when connect() runs.
    void open(uint32_t localAddress, uint16_t localPort);
    bool connect(uint32_t address, uint16_t port);
    // As connect(), but gives up after `milliseconds`; the socket stays
    // blocking. After a failure, failure holds the system's error code, or
    // 0 when the time ran out.
    bool connect(uint32_t address, uint16_t port, int milliseconds);

    int failure = 0;
};

}  // namespace net
