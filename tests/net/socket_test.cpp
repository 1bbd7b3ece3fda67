// The network event on a connected pair of TCP sockets.
#include <gtest/gtest.h>

#include <thread>

#include "net/net_event.h"
#include "net/tcp_socket.h"

// The end of a server session shuts the data connection down on this side
// and must wake its pump's wait; Winsock signals nothing for that by itself.
TEST(NetEvent, WakeEndsAWaitAfterALocalShutdown) {
    constexpr uint32_t loopback = 0x7F000001;  // 127.0.0.1
    net::startNetworking();
    net::ListenSocket listener;
    listener.open(loopback, 0);
    listener.listen(1);
    net::ConnectSocket connector;
    connector.open(0, 0);
    connector.connect(loopback, listener.localPort());
    sockaddr_in peer{};
    const net::SocketHandle accepted = listener.accept(peer);

    net::NetEvent readiness(accepted);
    readiness.create();
    readiness.select(net::netEventRead | net::netEventClose);
    bool woke = false;
    std::thread waiter([&] { woke = readiness.wait(); });
    ::shutdown(accepted, net::shutdownBoth);
    readiness.wake();
    waiter.join();
    EXPECT_TRUE(woke);
    char byte;
    EXPECT_LE(net::receiveBytes(accepted, &byte, 1), 0);
    net::releaseSocket(accepted);
    connector.close(net::shutdownBoth);
    listener.close(net::shutdownBoth);
}
