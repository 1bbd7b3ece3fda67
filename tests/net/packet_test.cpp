#include "net/packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/net/loopback.h"

namespace {

// Messages carry their total length in their first byte.
class LengthPrefixed : public net::PacketRecognizer {
public:
    explicit LengthPrefixed(int32_t maxLength = 32) : PacketRecognizer(0, maxLength) {}
    int32_t recognize(const unsigned char* data, int32_t length) override {
        if (onRecognize) onRecognize(length);
        return length >= 1 && length >= data[0] ? data[0] : 0;
    }
    int32_t expectedLength(const unsigned char* data, int32_t) override { return data[0]; }
    std::function<void(int32_t)> onRecognize;
};

// Claims one byte more than it was given.
class Overclaiming : public LengthPrefixed {
public:
    int32_t recognize(const unsigned char*, int32_t length) override { return length + 1; }
};

std::string bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

// A Packet on the accepting end of a loopback pair, `sent` already on its way.
struct Reading {
    Reading(net::PacketRecognizer& recognizer, const std::string& sent) : packet(pair.accepted, &recognizer, nullptr) {
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

TEST(Packet, CarriedAndSplitMessagesAreCompletedUpToTheirLength) {
    LengthPrefixed recognizer;
    Reading r(recognizer, bytes({2, 'x', 4, 'a'}));
    recognizer.onRecognize = [&](int32_t length) {
        if (length == 4) {  // the first receive saw both pieces: send the rest and the next message
            recognizer.onRecognize = nullptr;
            r.send(bytes({'b', 'c', 1}));
        }
    };
    EXPECT_EQ(r.read(), bytes({2, 'x'}));
    EXPECT_EQ(r.read(), bytes({4, 'a', 'b', 'c'}));
    EXPECT_EQ(r.read(), bytes({1}));  // expectedLength kept it in the socket
    r.pair.connector.close(net::shutdownBoth);
    EXPECT_EQ(r.read(), "");
}

TEST(Packet, UnrecognizableInputRaisesInsteadOfOverrunningOrSpinning) {
    LengthPrefixed eightAtMost(8);
    Reading full(eightAtMost, bytes({60, 1, 2, 3, 4, 5, 6, 7}));  // maxLength bytes without a message
    EXPECT_THROW(full.read(), std::runtime_error);
    LengthPrefixed lengthPrefixed;
    Reading smallBuffer(lengthPrefixed, bytes({20, 1, 2, 3}));  // the capacity fills without a message
    EXPECT_THROW(smallBuffer.read(4), std::runtime_error);
    Overclaiming overclaiming;
    Reading claimed(overclaiming, "abc");
    EXPECT_THROW(claimed.read(), std::runtime_error);
}
