// A connected pair of TCP sockets on 127.0.0.1.
#pragma once

#include <cstdint>

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

}  // namespace testing_support
