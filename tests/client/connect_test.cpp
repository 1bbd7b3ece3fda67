#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "client/client_application.h"
#include "net/protocol.h"
#include "shell/catalogue.h"
#include "tests/net/loopback.h"

namespace {

using testing_support::loopback;

// A client whose settings point at `port` on 127.0.0.1.
struct Client {
    explicit Client(uint16_t serverPort) : app(nullptr) {
        std::snprintf(app.hostName, sizeof app.hostName, "127.0.0.1");
        app.port = serverPort;
    }
    client::ClientApplication app;
};

}  // namespace

TEST(ClientConnect, PortGoesOutInOneSegmentOnlyOnceTheListenerListens) {
    net::startNetworking();
    net::ListenSocket server;
    server.open(loopback, 0);
    server.listen(1);
    Client client(server.localPort());
    ASSERT_TRUE(client.app.initNetwork());
    EXPECT_EQ(client.app.serverAddress, loopback);

    std::string failure;
    std::thread session([&] {
        try {
            client.app.connectToServer();
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    });
    sockaddr_in peer{};
    net::SocketHandle control = server.accept(peer);
    // One receive right after the first byte arrives: both bytes are there
    // only when they went out in one send.
    unsigned char wire[3] = {};
    ASSERT_EQ(net::receiveBytes(control, wire, sizeof wire), 2);
    const uint16_t announced = net::decodeHandshake(wire);
    // As the server does: a single attempt, at once.
    net::ConnectSocket data;
    data.open(0, 0);
    ASSERT_TRUE(data.connect(loopback, announced));
    session.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(announced, client.app.listenSocket.localPort());
    EXPECT_EQ(std::memcmp(&client.app.dataPortWire, wire, 2), 0);
    // Small pieces go out at once on both connections.
    EXPECT_TRUE(testing_support::noDelay(client.app.controlSocket.handle()));
    EXPECT_TRUE(testing_support::noDelay(client.app.dataSocket));

    const char hello[] = "hello";
    ASSERT_TRUE(net::sendAll(data.handle(), hello, 5));
    char received[8] = {};
    EXPECT_EQ(net::receiveBytes(client.app.dataSocket, received, sizeof received), 5);
    EXPECT_STREQ(received, "hello");
    net::releaseSocket(control);
    net::releaseSocket(client.app.dataSocket);
}

TEST(ClientConnect, RefusedServerIsConnectConnectError) {
    net::startNetworking();
    // Bound, not listening: a connect is refused.
    net::ListenSocket closed;
    closed.open(loopback, 0);
    Client client(closed.localPort());
    ASSERT_TRUE(client.app.initNetwork());
    try {
        client.app.connectToServer();
        FAIL() << "connected to a port that does not listen";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "connect connect error");
    }
    EXPECT_EQ(client.app.listenSocket.handle(), net::invalidSocket);
}

TEST(ClientStartup, EmptyHostIsMessageSevenBeforeAnySocket) {
    client::ClientApplication app(nullptr);
    EXPECT_FALSE(app.initNetwork());
    EXPECT_EQ(app.errorMessageId, shell::messageSettings);
    EXPECT_EQ(app.controlSocket.handle(), net::invalidSocket);
}

TEST(ClientStartup, LineTheSerialSideCannotHaveIsMessageSeven) {
    client::ClientApplication app(nullptr);
    std::snprintf(app.lineText, sizeof app.lineText, "9Q1");
    std::snprintf(app.devicePath, sizeof app.devicePath, "never-published");
    EXPECT_FALSE(app.openSerial());
    EXPECT_EQ(app.errorMessageId, shell::messageSettings);
}
