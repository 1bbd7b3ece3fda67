// A connected pair of TCP sockets on 127.0.0.1, and TCP_NODELAY as a test sees it.
#pragma once

#include <cstdint>

#include "net/compat.h"
#include "net/tcp_socket.h"

namespace testing_support {

constexpr uint32_t loopback = 0x7F000001;

struct LoopbackPair {
    LoopbackPair() {
        net::startNetworking();
        listener.open(loopback, 0);
        listener.listen(1);
        connector.open(0, 0);
        connector.connect(loopback, listener.localPort());
        sockaddr_in peer{};
        accepted = listener.accept(peer);
    }
    ~LoopbackPair() {
        net::releaseSocket(accepted);
        connector.close(net::shutdownBoth);
        listener.close(net::shutdownBoth);
    }
    net::SocketHandle accepted = net::invalidSocket;
    net::ListenSocket listener;
    net::ConnectSocket connector;
};

// True when small pieces leave the socket at once (TCP_NODELAY).
inline bool noDelay(net::SocketHandle sock) {
    int value = 0;  // Winsock may fill in a single byte
    net::SocketLength length = sizeof value;
    return ::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length) == 0 &&
           value != 0;
}

}  // namespace testing_support
