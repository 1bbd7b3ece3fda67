// Cuts the byte stream of one connected socket into whole messages, as a
// recognizer decides, carrying bytes beyond a message over to the next read.
// Part of the network core's API, statistics included, though neither
// program uses it today.
#pragma once

#include <cstdint>

#include "net/compat.h"

namespace net {

class PacketRecognizer {
public:
    PacketRecognizer(int32_t auxLength, int32_t maxLength)
        : auxLengthValue(auxLength), maxLengthValue(maxLength) {}
    virtual ~PacketRecognizer() = default;
    // Length of the first complete message at the start of `data`, or 0.
    virtual int32_t recognize(const unsigned char* data, int32_t length) = 0;
    // Total length the message being gathered needs, or 0 when unknown.
    virtual int32_t expectedLength(const unsigned char* data, int32_t capacity) = 0;
    virtual int32_t auxLength() const { return auxLengthValue; }
    virtual int32_t maxLength() const { return maxLengthValue; }

private:
    int32_t auxLengthValue;
    int32_t maxLengthValue;
};

// Every received chunk is one whole message.
class PassThroughRecognizer : public PacketRecognizer {
public:
    using PacketRecognizer::PacketRecognizer;
    int32_t recognize(const unsigned char*, int32_t length) override { return length; }
    int32_t expectedLength(const unsigned char*, int32_t) override { return 0; }
};

class PacketObserver {
public:
    virtual ~PacketObserver() = default;
    virtual void onFlush() = 0;
};

class Packet {
public:
    Packet(SocketHandle sock, PacketRecognizer* recognizer, PacketObserver* observer);
    ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    // Places the next whole message at the start of `buffer` and returns its
    // length; 0 when the peer closed or the receive failed. Raises
    // "packet recognized error" when no message can be recognized.
    int32_t read(unsigned char* buffer, int32_t capacity);
    void flushPrivateBuffer();
    void printStatistics() const;

    uint32_t carriedOver() const { return privateLength; }
    int32_t reads() const { return readN; }
    int32_t privateBufferUses() const { return usePrivateBufferN; }
    int32_t moreReads() const { return moreReadN; }
    int32_t flushes() const { return flushPrivateBufferN; }

private:
    int32_t receive(unsigned char* buffer, int32_t limit, int32_t filled);

    SocketHandle sock;
    PacketRecognizer* recognizer;
    PacketObserver* observer;
    unsigned char* privateBuffer;
    uint32_t privateLength = 0;
    int32_t readN = 0;
    int32_t usePrivateBufferN = 0;
    int32_t moreReadN = 0;
    int32_t flushPrivateBufferN = 0;
};

}  // namespace net
