// The network core's socket pieces on a connected pair of TCP sockets.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/net_event.h"
#include "net/packet.h"
#include "net/tcp_socket.h"

namespace {

struct LoopbackPair {
    static constexpr uint32_t loopback = 0x7F000001;  // 127.0.0.1
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

// Messages carry their total length in their first byte; 0xFF claims one
// byte more than there is.
class LengthPrefixed : public net::PacketRecognizer {
public:
    LengthPrefixed() : PacketRecognizer(0, 32) {}
    int32_t recognize(const unsigned char* data, int32_t length) override {
        if (data[0] == 0xFF) return length + 1;
        return length >= data[0] ? data[0] : 0;
    }
    int32_t expectedLength(const unsigned char* data, int32_t) override { return data[0]; }
};

std::string bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

}  // namespace

// The end of a server session shuts the data connection down on this side
// and must wake its pump's wait; Winsock signals nothing for that by itself.
TEST(NetEvent, WakeEndsAWaitAfterALocalShutdown) {
    LoopbackPair pair;
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

TEST(Packet, CompletesMessagesUpToTheirLengthAndRaisesRatherThanOverrun) {
    LoopbackPair pair;
    LengthPrefixed recognizer;
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    auto send = [&](const std::string& data) {  // one send on loopback: one receive
        net::sendAll(pair.connector.handle(), data.data(), static_cast<int>(data.size()));
    };
    auto read = [&](int32_t capacity) {
        std::vector<unsigned char> buffer(static_cast<size_t>(capacity));
        return std::string(buffer.begin(), buffer.begin() + packet.read(buffer.data(), capacity));
    };
    send(bytes({2, 'x', 4, 'a'}));
    EXPECT_EQ(read(64), bytes({2, 'x'}));
    send(bytes({'b', 'c', 1}));
    EXPECT_EQ(read(64), bytes({4, 'a', 'b', 'c'}));  // carried over, completed
    EXPECT_EQ(read(64), bytes({1}));                 // expectedLength kept it in the socket
    send(bytes({20, 1, 2, 3}));
    EXPECT_THROW(read(4), std::runtime_error);  // the capacity fills without a message
    send(bytes({0xFF}));
    EXPECT_THROW(read(64), std::runtime_error);
    pair.connector.close(net::shutdownBoth);
    EXPECT_EQ(read(64), "");
}
