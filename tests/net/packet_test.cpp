#include "net/packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/net/loopback.h"

namespace {

// Messages carry their total length in their first byte.
class LengthPrefixed : public net::PacketRecognizer {
public:
    explicit LengthPrefixed(int32_t maxLength) : PacketRecognizer(0, maxLength) {}
    int32_t recognize(const unsigned char* data, int32_t length) override {
        ++recognizeCalls;
        if (onRecognize) onRecognize(length);
        return length >= 1 && length >= data[0] ? data[0] : 0;
    }
    int32_t expectedLength(const unsigned char* data, int32_t) override { return data[0]; }
    int recognizeCalls = 0;
    std::function<void(int32_t)> onRecognize;
};

// Claims one byte more than it was given.
class Overclaiming : public net::PacketRecognizer {
public:
    Overclaiming() : PacketRecognizer(0, 32) {}
    int32_t recognize(const unsigned char*, int32_t length) override { return length + 1; }
    int32_t expectedLength(const unsigned char*, int32_t) override { return 0; }
};

// Expects fewer bytes than are already carried over.
class Underexpecting : public LengthPrefixed {
public:
    Underexpecting() : LengthPrefixed(32) {}
    int32_t expectedLength(const unsigned char*, int32_t) override { return 1; }
};

class CountingObserver : public net::PacketObserver {
public:
    void onFlush() override { ++flushes; }
    int flushes = 0;
};

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::string readText(net::Packet& packet, int32_t capacity = 64) {
    std::vector<unsigned char> buffer(static_cast<size_t>(capacity));
    int32_t n = packet.read(buffer.data(), capacity);
    return std::string(buffer.begin(), buffer.begin() + n);
}

void send(testing_support::LoopbackPair& pair, const std::string& data) {
    testing_support::sendText(pair.connector.handle(), data.data(), static_cast<int>(data.size()));
}

std::string raised(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(Packet, PassThroughReturnsChunksCappedAndCarriesNothing) {
    testing_support::LoopbackPair pair;
    net::PassThroughRecognizer recognizer(0, 6);
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    send(pair, "abcdefghij");
    EXPECT_EQ(readText(packet, 4), "abcd");     // capped by capacity
    EXPECT_EQ(readText(packet, 64), "efghij");  // capped by maxLength
    EXPECT_EQ(packet.carriedOver(), 0u);
    EXPECT_EQ(packet.privateBufferUses(), 0);
}

TEST(Packet, TwoMessagesInOneChunkSecondServedWithoutReceiving) {
    testing_support::LoopbackPair pair;
    LengthPrefixed recognizer(32);
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    send(pair, bytes({3, 'a', 'b', 2, 'c'}));  // one send on loopback: one receive
    EXPECT_EQ(readText(packet), bytes({3, 'a', 'b'}));
    ASSERT_EQ(packet.carriedOver(), 2u);
    EXPECT_EQ(readText(packet), bytes({2, 'c'}));
    EXPECT_EQ(recognizer.recognizeCalls, 2);  // no receive: the carried bytes were enough
    EXPECT_EQ(packet.privateBufferUses(), 1);
    EXPECT_EQ(packet.moreReads(), 0);
}

TEST(Packet, SplitMessageIsGatheredOverSeveralReceives) {
    testing_support::LoopbackPair pair;
    LengthPrefixed recognizer(32);
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    // The rest is sent only once the first part has been seen incomplete.
    recognizer.onRecognize = [&](int32_t length) {
        if (length == 2) send(pair, bytes({'b', 'c', 'd'}));
    };
    send(pair, bytes({5, 'a'}));
    EXPECT_EQ(readText(packet), bytes({5, 'a', 'b', 'c', 'd'}));
    EXPECT_EQ(recognizer.recognizeCalls, 2);
}

TEST(Packet, CarriedStartOfMessageIsCompletedUpToExpectedLength) {
    testing_support::LoopbackPair pair;
    LengthPrefixed recognizer(32);
    net::Packet packet(pair.accepted, &recognizer, nullptr);
    send(pair, bytes({2, 'x', 4, 'a'}));
    recognizer.onRecognize = [&](int32_t length) {
        if (length == 4) {  // the first receive saw both pieces: send the rest and the next message
            recognizer.onRecognize = nullptr;
            send(pair, bytes({'b', 'c', 1}));
        }
    };
    EXPECT_EQ(readText(packet), bytes({2, 'x'}));
    ASSERT_EQ(packet.carriedOver(), 2u);
    EXPECT_EQ(readText(packet), bytes({4, 'a', 'b', 'c'}));
    EXPECT_EQ(packet.privateBufferUses(), 1);
    EXPECT_EQ(packet.moreReads(), 1);
    EXPECT_EQ(packet.carriedOver(), 0u);  // expectedLength kept the next message in the socket
    EXPECT_EQ(readText(packet), bytes({1}));
}

TEST(Packet, PeerCloseAndReceiveError) {
    {
        testing_support::LoopbackPair pair;
        LengthPrefixed recognizer(32);
        CountingObserver observer;
        net::Packet packet(pair.accepted, &recognizer, &observer);
        send(pair, bytes({9, 'a'}));
        pair.connector.close(net::shutdownBoth);
        EXPECT_EQ(readText(packet), "");
        EXPECT_EQ(packet.flushes(), 0);
        EXPECT_EQ(packet.carriedOver(), 0u);
    }
    {
        // A failing receive while the start of a message is carried over.
        // (A reset by the peer would do on Windows and Linux, but Wine closes
        // gracefully whatever SO_LINGER says; a released handle fails alike
        // everywhere.)
        testing_support::LoopbackPair pair;
        LengthPrefixed recognizer(32);
        CountingObserver observer;
        net::Packet packet(pair.accepted, &recognizer, &observer);
        recognizer.onRecognize = [&](int32_t length) {
            if (length == 4) {  // both pieces came in one receive
                net::releaseSocket(pair.accepted);
                pair.accepted = net::invalidSocket;
            }
        };
        send(pair, bytes({2, 'x', 9, 'a'}));
        EXPECT_EQ(readText(packet), bytes({2, 'x'}));
        ASSERT_EQ(packet.carriedOver(), 2u);
        EXPECT_EQ(readText(packet), "");
        EXPECT_EQ(packet.flushes(), 1);
        EXPECT_EQ(observer.flushes, 1);
        EXPECT_EQ(packet.carriedOver(), 0u);
    }
}

TEST(Packet, UnrecognizableInputRaisesInsteadOfOverrunningOrSpinning) {
    {  // maxLength bytes without a message
        testing_support::LoopbackPair pair;
        LengthPrefixed recognizer(8);
        net::Packet packet(pair.accepted, &recognizer, nullptr);
        send(pair, bytes({60, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(raised([&] { readText(packet); }), "packet recognized error");
        EXPECT_EQ(packet.carriedOver(), 0u);
    }
    {  // a capacity below maxLength fills up without a message
        testing_support::LoopbackPair pair;
        LengthPrefixed recognizer(32);
        net::Packet packet(pair.accepted, &recognizer, nullptr);
        send(pair, bytes({20, 1, 2, 3}));
        EXPECT_EQ(raised([&] { readText(packet, 4); }), "packet recognized error");
    }
    {  // recognize claims more bytes than it was given
        testing_support::LoopbackPair pair;
        Overclaiming recognizer;
        net::Packet packet(pair.accepted, &recognizer, nullptr);
        send(pair, "abc");
        EXPECT_EQ(raised([&] { readText(packet); }), "packet recognized error");
    }
    {  // expectedLength below the carried-over count
        testing_support::LoopbackPair pair;
        Underexpecting recognizer;
        net::Packet packet(pair.accepted, &recognizer, nullptr);
        send(pair, bytes({1, 9, 'a', 'b'}));
        EXPECT_EQ(readText(packet), bytes({1}));
        ASSERT_EQ(packet.carriedOver(), 3u);
        EXPECT_EQ(raised([&] { readText(packet); }), "packet recognized error");
    }
}

TEST(Packet, StatisticsLines) {
    testing_support::LoopbackPair pair;
    net::PassThroughRecognizer recognizer(0, 16);
    CountingObserver observer;
    net::Packet packet(pair.accepted, &recognizer, &observer);
    send(pair, "x");
    readText(packet);
    packet.flushPrivateBuffer();
    std::ostringstream captured;
    std::streambuf* original = std::cerr.rdbuf(captured.rdbuf());
    packet.printStatistics();
    std::cerr.rdbuf(original);
    EXPECT_EQ(captured.str(), "readN:1\nusePrivateBufferN:0\nmoreReadN:0\nflushPrivateBufferN:1\n");
    EXPECT_EQ(observer.flushes, 1);
}
