#include "net/net_event.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/net/loopback.h"

TEST(NetEvent, SignalsDataThenCloseAndReceiveGivesZeroOnceDrained) {
    testing_support::LoopbackPair pair;
    net::NetEvent event(pair.accepted);
    event.create();
    event.select(net::netEventRead | net::netEventClose);
    net::sendAll(pair.connector.handle(), "abc", 3);
    pair.connector.close(net::shutdownBoth);

    std::string received;
    for (;;) {
        ASSERT_TRUE(event.wait());
        char buffer[2];
        int n = net::receiveBytes(pair.accepted, buffer, sizeof buffer);
        if (n < 0 && net::lastErrorWouldBlock()) continue;
        ASSERT_GE(n, 0);
        if (n == 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(received, "abc");
}

// The end of a server session shuts the data connection down on this side
// and must wake its pump's wait; Winsock signals nothing for that by itself.
TEST(NetEvent, WakeEndsAWaitAfterALocalShutdown) {
    testing_support::LoopbackPair pair;
    net::NetEvent readiness(pair.accepted);
    readiness.create();
    readiness.select(net::netEventRead | net::netEventClose);
    bool woke = false;
    std::thread waiter([&] { woke = readiness.wait(); });
    ::shutdown(pair.accepted, net::shutdownBoth);
    readiness.wake();
    waiter.join();
    EXPECT_TRUE(woke);
    char byte;
    EXPECT_LE(net::receiveBytes(pair.accepted, &byte, 1), 0);
}
