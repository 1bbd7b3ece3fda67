#include "net/packet.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace net {

namespace {

[[noreturn]] void unrecognized() { throw std::runtime_error("packet recognized error"); }

}  // namespace

Packet::Packet(SocketHandle sock, PacketRecognizer* recognizer, PacketObserver* observer)
    : sock(sock),
      recognizer(recognizer),
      observer(observer),
      privateBuffer(new unsigned char[static_cast<size_t>(std::max(recognizer->maxLength(), 1))]) {}

Packet::~Packet() { delete[] privateBuffer; }

int32_t Packet::read(unsigned char* buffer, int32_t capacity) {
    ++readN;
    if (privateLength == 0) return receive(buffer, capacity, 0);

    ++usePrivateBufferN;
    const auto carried = static_cast<int32_t>(privateLength);
    int32_t n = recognizer->recognize(privateBuffer, carried);
    if (n < 0 || n > carried) {
        privateLength = 0;
        unrecognized();
    }
    if (n != 0) {
        if (n > capacity) {
            privateLength = 0;
            unrecognized();
        }
        std::memcpy(buffer, privateBuffer, static_cast<size_t>(n));
        privateLength -= static_cast<uint32_t>(n);
        std::memmove(privateBuffer, privateBuffer + n, privateLength);
        return n;
    }

    ++moreReadN;
    privateLength = 0;
    if (carried > capacity) unrecognized();
    std::memcpy(buffer, privateBuffer, static_cast<size_t>(carried));
    int32_t limit = recognizer->expectedLength(buffer, capacity);
    // A limit beyond the caller's buffer would overrun it.
    if (limit == 0 || limit > capacity) limit = capacity;
    return receive(buffer, limit, carried);
}

int32_t Packet::receive(unsigned char* buffer, int32_t limit, int32_t filled) {
    const int32_t maxLength = recognizer->maxLength();
    int32_t room = std::min(limit, maxLength) - filled;
    for (;;) {
        // No room left without a message: asking the system for 0 bytes
        // would look like a closed peer or spin for ever.
        if (room <= 0) unrecognized();
        int received = receiveBytes(sock, buffer + filled, room);
        if (received == 0) return 0;
        if (received < 0) {
            flushPrivateBuffer();
            return 0;
        }
        filled += received;
        room -= received;
        int32_t n = recognizer->recognize(buffer, filled);
        if (n < 0 || n > filled) unrecognized();
        if (n != 0) {
            privateLength = static_cast<uint32_t>(filled - n);
            std::memcpy(privateBuffer, buffer + n, privateLength);
            return n;
        }
        if (filled >= maxLength) unrecognized();
    }
}

void Packet::flushPrivateBuffer() {
    ++flushPrivateBufferN;
    privateLength = 0;
    if (observer != nullptr) observer->onFlush();
}

void Packet::printStatistics() const {
    std::cerr << "readN:" << readN << '\n'
              << "usePrivateBufferN:" << usePrivateBufferN << '\n'
              << "moreReadN:" << moreReadN << '\n'
              << "flushPrivateBufferN:" << flushPrivateBufferN << '\n'
              << std::flush;
}

}  // namespace net
