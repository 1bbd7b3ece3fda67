// TCP/IPv4 stream sockets. Addresses and ports are held and passed in host
// byte order; only this layer converts them. Failures are raised as
// std::runtime_error with a fixed text, except connect(), which returns false.
#pragma once

#include <cstdint>

#include "net/compat.h"

namespace net {

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
    // blocking.
    bool connect(uint32_t address, uint16_t port, int milliseconds);
};

}  // namespace net
