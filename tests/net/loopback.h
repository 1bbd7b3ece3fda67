// A connected pair of TCP sockets on 127.0.0.1 for tests.
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
    // Resets the connection (RST instead of FIN): the other end's next
    // receive fails.
    void resetConnector() {
        linger hard{};
        hard.l_onoff = 1;
        hard.l_linger = 0;
        setsockopt(connector.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        net::releaseSocket(connector.handle());
    }
    net::SocketHandle accepted = net::invalidSocket;
    net::ListenSocket listener;
    net::ConnectSocket connector;
};

inline void sendText(net::SocketHandle sock, const void* data, int length) {
    net::sendAll(sock, data, length);
}

}  // namespace testing_support
