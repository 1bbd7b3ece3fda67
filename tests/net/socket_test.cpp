// The network event and the packet reader on a connected pair of TCP sockets.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/net_event.h"
#include "net/packet.h"
#include "net/tcp_socket.h"

namespace {

// Left open: the test process's end closes them.
struct Connected {
    Connected() {
        constexpr uint32_t loopback = 0x7F000001;  // 127.0.0.1
        net::startNetworking();
        listener.open(loopback, 0);
        listener.listen(1);
        connector.open(0, 0);
        connector.connect(loopback, listener.localPort());
        sockaddr_in peer{};
        accepted = listener.accept(peer);
    }
    net::ListenSocket listener;
    net::ConnectSocket connector;
    net::SocketHandle accepted;
};

// The end of a server session shuts the data connection down on this side
// and must wake its pump's wait; Winsock signals nothing for that by itself.
TEST(NetEvent, WakeEndsAWaitAfterALocalShutdown) {
    Connected pair;
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

// Three-byte messages; a receive takes at most 8 bytes.
struct Triples : net::PacketRecognizer {
    Triples() : PacketRecognizer(0, 8) {}
    int32_t recognize(const unsigned char*, int32_t length) override { return length >= 3 ? 3 : 0; }
    int32_t expectedLength(const unsigned char*, int32_t) override { return 3; }
};

// Whole messages whatever the receives cut: the rest of one receive is
// carried over, a message cut short is completed, then the peer's close.
TEST(Packet, ReadsWholeMessages) {
    Connected pair;
    const std::string sent = "abcdefghi";
    net::sendBytes(pair.connector.handle(), sent.data(), static_cast<int>(sent.size()));
    ::shutdown(pair.connector.handle(), net::shutdownSend);
    Triples recognizer;
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    unsigned char buffer[16];
    std::string read;
    for (int32_t length; (length = packet.read(buffer, sizeof buffer)) > 0;)
        read += std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(length)) + "|";
    EXPECT_EQ(read, "abc|def|ghi|");
}

}  // namespace
