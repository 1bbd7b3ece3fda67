#include "net/packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/loopback.h"

using testing_support::raisedText;

namespace {

// Messages carry their total length in their first byte.
class LengthPrefixed : public net::PacketRecognizer {
public:
    explicit LengthPrefixed(int32_t maxLength = 32) : PacketRecognizer(0, maxLength) {}
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

// A Packet on the accepting end of a loopback pair, `sent` already on its way.
struct Reading {
    Reading(net::PacketRecognizer& recognizer, const std::string& sent, net::PacketObserver* observer = nullptr)
        : packet(pair.accepted, &recognizer, observer) {
        send(sent);
    }
    void send(const std::string& data) {  // one send on loopback: one receive
        net::sendAll(pair.connector.handle(), data.data(), static_cast<int>(data.size()));
    }
    std::string read(int32_t capacity = 64) {
        std::vector<unsigned char> buffer(static_cast<size_t>(capacity));
        int32_t n = packet.read(buffer.data(), capacity);
        return std::string(buffer.begin(), buffer.begin() + n);
    }
    testing_support::LoopbackPair pair;
    net::Packet packet;
};

}  // namespace

TEST(Packet, PassThroughReturnsChunksCappedAndCarriesNothing) {
    net::PassThroughRecognizer recognizer(0, 6);
    Reading r(recognizer, "abcdefghij");
    EXPECT_EQ(r.read(4), "abcd");     // capped by capacity
    EXPECT_EQ(r.read(64), "efghij");  // capped by maxLength
    EXPECT_EQ(r.packet.carriedOver(), 0u);
    EXPECT_EQ(r.packet.privateBufferUses(), 0);
}

TEST(Packet, TwoMessagesInOneChunkSecondServedWithoutReceiving) {
    LengthPrefixed recognizer;
    Reading r(recognizer, bytes({3, 'a', 'b', 2, 'c'}));
    EXPECT_EQ(r.read(), bytes({3, 'a', 'b'}));
    ASSERT_EQ(r.packet.carriedOver(), 2u);
    EXPECT_EQ(r.read(), bytes({2, 'c'}));
    EXPECT_EQ(recognizer.recognizeCalls, 2);  // no receive: the carried bytes were enough
    EXPECT_EQ(r.packet.privateBufferUses(), 1);
    EXPECT_EQ(r.packet.moreReads(), 0);
}

TEST(Packet, SplitMessageIsGatheredOverSeveralReceives) {
    LengthPrefixed recognizer;
    Reading r(recognizer, bytes({5, 'a'}));
    // The rest is sent only once the first part has been seen incomplete.
    recognizer.onRecognize = [&](int32_t length) {
        if (length == 2) r.send(bytes({'b', 'c', 'd'}));
    };
    EXPECT_EQ(r.read(), bytes({5, 'a', 'b', 'c', 'd'}));
    EXPECT_EQ(recognizer.recognizeCalls, 2);
}

TEST(Packet, CarriedStartOfMessageIsCompletedUpToExpectedLength) {
    LengthPrefixed recognizer;
    Reading r(recognizer, bytes({2, 'x', 4, 'a'}));
    recognizer.onRecognize = [&](int32_t length) {
        if (length == 4) {  // the first receive saw both pieces: send the rest and the next message
            recognizer.onRecognize = nullptr;
            r.send(bytes({'b', 'c', 1}));
        }
    };
    EXPECT_EQ(r.read(), bytes({2, 'x'}));
    ASSERT_EQ(r.packet.carriedOver(), 2u);
    EXPECT_EQ(r.read(), bytes({4, 'a', 'b', 'c'}));
    EXPECT_EQ(r.packet.privateBufferUses(), 1);
    EXPECT_EQ(r.packet.moreReads(), 1);
    EXPECT_EQ(r.packet.carriedOver(), 0u);  // expectedLength kept the next message in the socket
    EXPECT_EQ(r.read(), bytes({1}));
}

TEST(Packet, PeerCloseEndsAPartialMessageAndAReceiveErrorFlushes) {
    LengthPrefixed closing;
    Reading closed(closing, bytes({9, 'a'}));
    closed.pair.connector.close(net::shutdownBoth);
    EXPECT_EQ(closed.read(), "");
    EXPECT_EQ(closed.packet.flushes(), 0);
    EXPECT_EQ(closed.packet.carriedOver(), 0u);

    // A failing receive while the start of a message is carried over. (A
    // reset by the peer would do on Windows and Linux, but Wine closes
    // gracefully whatever SO_LINGER says; a released handle fails alike.)
    LengthPrefixed recognizer;
    CountingObserver observer;
    Reading r(recognizer, bytes({2, 'x', 9, 'a'}), &observer);
    recognizer.onRecognize = [&](int32_t length) {
        if (length != 4) return;  // both pieces came in one receive
        net::releaseSocket(r.pair.accepted);
        r.pair.accepted = net::invalidSocket;
    };
    EXPECT_EQ(r.read(), bytes({2, 'x'}));
    ASSERT_EQ(r.packet.carriedOver(), 2u);
    EXPECT_EQ(r.read(), "");
    EXPECT_EQ(r.packet.flushes(), 1);
    EXPECT_EQ(observer.flushes, 1);
    EXPECT_EQ(r.packet.carriedOver(), 0u);
}

TEST(Packet, UnrecognizableInputRaisesInsteadOfOverrunningOrSpinning) {
    const std::string error = "packet recognized error";
    LengthPrefixed eightAtMost(8);
    Reading full(eightAtMost, bytes({60, 1, 2, 3, 4, 5, 6, 7}));  // maxLength bytes without a message
    EXPECT_EQ(raisedText([&] { full.read(); }), error);
    EXPECT_EQ(full.packet.carriedOver(), 0u);

    LengthPrefixed lengthPrefixed;
    Reading smallBuffer(lengthPrefixed, bytes({20, 1, 2, 3}));  // the capacity fills without a message
    EXPECT_EQ(raisedText([&] { smallBuffer.read(4); }), error);

    Overclaiming overclaiming;
    Reading claimed(overclaiming, "abc");
    EXPECT_EQ(raisedText([&] { claimed.read(); }), error);

    Underexpecting underexpecting;
    Reading carried(underexpecting, bytes({1, 9, 'a', 'b'}));
    EXPECT_EQ(carried.read(), bytes({1}));
    ASSERT_EQ(carried.packet.carriedOver(), 3u);
    EXPECT_EQ(raisedText([&] { carried.read(); }), error);
}

TEST(Packet, StatisticsLines) {
    net::PassThroughRecognizer recognizer(0, 16);
    CountingObserver observer;
    Reading r(recognizer, "x", &observer);
    r.read();
    r.packet.flushPrivateBuffer();
    std::ostringstream captured;
    std::streambuf* original = std::cerr.rdbuf(captured.rdbuf());
    r.packet.printStatistics();
    std::cerr.rdbuf(original);
    EXPECT_EQ(captured.str(), "readN:1\nusePrivateBufferN:0\nmoreReadN:0\nflushPrivateBufferN:1\n");
    EXPECT_EQ(observer.flushes, 1);
}
