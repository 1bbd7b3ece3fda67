#include "net/tcp_socket.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "tests/net/loopback.h"

using testing_support::loopback;

namespace {

std::string raisedText(void (*operation)(net::ListenSocket&), net::ListenSocket& socket) {
    try {
        operation(socket);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

uint16_t systemPortOf(net::SocketHandle sock) {
    sockaddr_in bound{};
    net::SocketLength length = sizeof bound;
    getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { net::startNetworking(); }
};

}  // namespace

TEST_F(Sockets, BindToPortZeroLearnsTheSystemsPort) {
    net::ListenSocket listener;
    listener.open(0, 0);
    EXPECT_NE(listener.localPort(), 0);
    EXPECT_EQ(listener.localPort(), systemPortOf(listener.handle()));
    EXPECT_EQ(listener.localAddress(), 0u);
    listener.close(net::shutdownBoth);
}

TEST_F(Sockets, NonzeroPortAndAddressAreStoredAsGiven) {
    net::ListenSocket probe;
    probe.open(loopback, 0);
    const uint16_t freePort = probe.localPort();
    probe.close(net::shutdownBoth);

    net::ListenSocket listener;
    listener.open(loopback, freePort);
    EXPECT_EQ(listener.localPort(), freePort);
    EXPECT_EQ(listener.localAddress(), loopback);
    listener.close(net::shutdownBoth);
    EXPECT_EQ(listener.handle(), net::invalidSocket);
    EXPECT_EQ(listener.localPort(), 0);
}

TEST_F(Sockets, BindFailuresRaiseBindErrorAndKeepTheHandle) {
    net::ListenSocket holder;
    holder.open(loopback, 0);
    holder.listen(1);

    static uint16_t usedPort;
    usedPort = holder.localPort();
    net::ListenSocket second;
    EXPECT_EQ(raisedText([](net::ListenSocket& s) { s.open(loopback, usedPort); }, second), "bind error");
    EXPECT_NE(second.handle(), net::invalidSocket);
    second.close(net::shutdownBoth);

    // 192.0.2.1 is a documentation address: never one of this machine's.
    net::ListenSocket foreign;
    EXPECT_EQ(raisedText([](net::ListenSocket& s) { s.open(0xC0000201, 0); }, foreign), "bind error");
    EXPECT_NE(foreign.handle(), net::invalidSocket);
    foreign.close(net::shutdownBoth);

    net::ListenSocket empty;
    EXPECT_EQ(raisedText([](net::ListenSocket& s) { s.bind(0, 0); }, empty), "socket error");
    holder.close(net::shutdownBoth);
}

TEST_F(Sockets, ConnectToAClosedPortFailsAndRecordsThePeer) {
    net::ListenSocket probe;
    probe.open(loopback, 0);
    const uint16_t closedPort = probe.localPort();
    probe.close(net::shutdownBoth);

    net::ConnectSocket connector;
    connector.open(0, 0);
    EXPECT_FALSE(connector.connect(loopback, closedPort));
    EXPECT_EQ(connector.lastPeerAddress(), loopback);
    EXPECT_EQ(connector.lastPeerPort(), closedPort);
    connector.close(net::shutdownBoth);
    EXPECT_EQ(connector.lastPeerPort(), closedPort);  // close keeps the peer fields
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

TEST_F(Sockets, CloseWithoutASocketIsHarmless) {
    net::ConnectSocket never;
    never.close(net::shutdownBoth);
    never.close(net::shutdownBoth);
    EXPECT_EQ(never.handle(), net::invalidSocket);
    never.open(0, 0);  // open again after close
    EXPECT_NE(never.handle(), net::invalidSocket);
    never.close(net::shutdownBoth);
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

namespace {

int intOption(net::SocketHandle sock, int level, int name) {
    int value = 0;
    net::SocketLength length = sizeof value;
    getsockopt(sock, level, name, reinterpret_cast<char*>(&value), &length);
    return value;
}

}  // namespace

TEST_F(Sockets, NoDelayChangesNothingElse) {
    testing_support::LoopbackPair pair;
    const net::SocketHandle sock = pair.connector.handle();
    const int sendBuffer = intOption(sock, SOL_SOCKET, SO_SNDBUF);
    const int receiveBuffer = intOption(sock, SOL_SOCKET, SO_RCVBUF);
    const int keepAlive = intOption(sock, SOL_SOCKET, SO_KEEPALIVE);
    EXPECT_FALSE(testing_support::noDelay(sock));

    net::setNoDelay(sock);
    EXPECT_TRUE(testing_support::noDelay(sock));
    EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_SNDBUF), sendBuffer);
    EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_RCVBUF), receiveBuffer);
    EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_KEEPALIVE), keepAlive);
    // Still blocking: the pumps without an event rely on blocking receives.
#ifndef _WIN32
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
#endif
    net::sendAll(pair.accepted, "x", 1);
    char byte = 0;
    EXPECT_EQ(net::receiveBytes(sock, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}
