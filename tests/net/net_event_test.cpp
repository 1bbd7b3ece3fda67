#include "net/net_event.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/net/loopback.h"

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
