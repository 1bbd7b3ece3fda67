#include "net/tcp_socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "tests/net/loopback.h"

using testing_support::loopback;
using testing_support::raisedText;

namespace {

uint16_t systemPortOf(net::SocketHandle sock) {
    sockaddr_in bound{};
    net::SocketLength length = sizeof bound;
    getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

// A port on 127.0.0.1 that nothing uses now.
uint16_t closedPort() {
    net::ListenSocket probe;
    probe.open(loopback, 0);
    uint16_t port = probe.localPort();
    probe.close(net::shutdownBoth);
    return port;
}

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { net::startNetworking(); }
};

}  // namespace

TEST_F(Sockets, BindLearnsTheSystemsPortOrStoresTheGivenOneAndCloseIsRepeatable) {
    net::ListenSocket any;
    any.open(0, 0);
    EXPECT_NE(any.localPort(), 0);
    EXPECT_EQ(any.localPort(), systemPortOf(any.handle()));
    any.close(net::shutdownBoth);

    const uint16_t port = closedPort();
    net::ListenSocket given;
    given.open(loopback, port);
    EXPECT_EQ(given.localPort(), port);
    EXPECT_EQ(given.localAddress(), loopback);
    given.close(net::shutdownBoth);
    given.close(net::shutdownBoth);
    EXPECT_EQ(given.handle(), net::invalidSocket);
    EXPECT_EQ(given.localPort(), 0);
    given.open(0, 0);  // open again after close
    EXPECT_NE(given.handle(), net::invalidSocket);
    given.close(net::shutdownBoth);
}

TEST_F(Sockets, BindFailuresRaiseBindErrorAndKeepTheHandle) {
    net::ListenSocket holder;
    holder.open(loopback, 0);
    holder.listen(1);
    // 192.0.2.1 is a documentation address: never one of this machine's.
    for (auto target : {std::pair<uint32_t, uint16_t>{loopback, holder.localPort()}, {0xC0000201, 0}}) {
        net::ListenSocket failing;
        EXPECT_EQ(raisedText([&] { failing.open(target.first, target.second); }), "bind error");
        EXPECT_NE(failing.handle(), net::invalidSocket);
        failing.close(net::shutdownBoth);
    }
    net::ListenSocket empty;
    EXPECT_EQ(raisedText([&] { empty.bind(0, 0); }), "socket error");
    holder.close(net::shutdownBoth);
}

TEST_F(Sockets, ConnectToAClosedPortFailsAndRecordsThePeer) {
    const uint16_t port = closedPort();
    net::ConnectSocket connector;
    connector.open(0, 0);
    EXPECT_FALSE(connector.connect(loopback, port));
    connector.close(net::shutdownBoth);
    EXPECT_EQ(connector.lastPeerAddress(), loopback);
    EXPECT_EQ(connector.lastPeerPort(), port);
}

TEST_F(Sockets, AcceptFillsThePeerInNetworkOrderAndListenMayRepeat) {
    net::ListenSocket listener;
    listener.open(loopback, 0);
    for (int round = 0; round < 2; ++round) {
        listener.listen(1);  // again on a listening socket, as every session does
        net::ConnectSocket connector;
        connector.open(0, 0);
        ASSERT_TRUE(connector.connect(loopback, listener.localPort()));
        sockaddr_in peer{};
        net::SocketHandle accepted = listener.accept(peer);
        ASSERT_NE(accepted, net::invalidSocket);
        EXPECT_EQ(peer.sin_family, AF_INET);
        EXPECT_EQ(peer.sin_addr.s_addr, htonl(loopback));
        EXPECT_EQ(peer.sin_port, htons(systemPortOf(connector.handle())));
        net::releaseSocket(accepted);
        connector.close(net::shutdownBoth);
    }
    listener.close(net::shutdownBoth);
}

TEST_F(Sockets, SendAllDeliversEverythingThroughANonBlockingSocket) {
    testing_support::LoopbackPair pair;
#ifdef _WIN32
    u_long nonBlocking = 1;
    ioctlsocket(pair.connector.handle(), FIONBIO, &nonBlocking);
#else
    fcntl(pair.connector.handle(), F_SETFL, O_NONBLOCK);
#endif
    // Far more than the socket buffers hold, so sends would block midway.
    std::string data(8 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        int n;
        while ((n = net::receiveBytes(pair.accepted, chunk, sizeof chunk)) > 0) received.append(chunk, static_cast<size_t>(n));
    });
    EXPECT_TRUE(net::sendAll(pair.connector.handle(), data.data(), static_cast<int>(data.size())));
    ::shutdown(pair.connector.handle(), net::shutdownSend);
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST_F(Sockets, NoDelayKeepsTheSocketBlocking) {
    testing_support::LoopbackPair pair;
    const net::SocketHandle sock = pair.connector.handle();
    EXPECT_FALSE(testing_support::noDelay(sock));
    net::setNoDelay(sock);
    EXPECT_TRUE(testing_support::noDelay(sock));
    // The pumps without an event rely on blocking receives.
#ifndef _WIN32
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
#endif
    net::sendAll(pair.accepted, "x", 1);
    char byte = 0;
    EXPECT_EQ(net::receiveBytes(sock, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}
