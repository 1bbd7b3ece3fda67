#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "client/client_application.h"
#include "net/protocol.h"
#include "tests/net/loopback.h"

using testing_support::loopback;

// The refused server and the start-up messages are checked on the program
// itself (client_program_test.py).
TEST(ClientConnect, PortGoesOutInOneSegmentOnlyOnceTheListenerListens) {
    net::startNetworking();
    net::ListenSocket server;
    server.open(loopback, 0);
    server.listen(1);
    client::ClientApplication app(nullptr);
    std::snprintf(app.hostName, sizeof app.hostName, "127.0.0.1");
    app.port = server.localPort();
    ASSERT_TRUE(app.initNetwork());
    EXPECT_EQ(app.serverAddress, loopback);

    std::string failure;
    std::thread session([&] {
        try {
            app.connectToServer();
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
    EXPECT_TRUE(testing_support::noDelay(app.controlSocket.handle()));
    EXPECT_TRUE(testing_support::noDelay(app.dataSocket));

    ASSERT_TRUE(net::sendAll(data.handle(), "hello", 5));
    char received[8] = {};
    EXPECT_EQ(net::receiveBytes(app.dataSocket, received, sizeof received), 5);
    EXPECT_STREQ(received, "hello");
    net::releaseSocket(control);
    net::releaseSocket(app.dataSocket);
}
