#include "client/control_records.h"

#include "net/protocol.h"
#include "net/serial_codes.h"

namespace client {

namespace {

// Handshake bits: DTR stays on (as any Windows program leaves it) and RTS
// either on or doing RTS/CTS; a server on a port without modem lines takes
// both without touching lines it does not have.
constexpr uint32_t dtrControl = 0x01;
constexpr uint32_t ctsHandshake = 0x08;
constexpr uint32_t autoTransmit = 0x01;
constexpr uint32_t autoReceive = 0x02;
constexpr uint32_t rtsControl = 0x40;
constexpr uint32_t rtsHandshake = 0x80;
// The limits Windows ports start with.
constexpr uint32_t xonLimit = 2048;
constexpr uint32_t xoffLimit = 512;

void putLong(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool sameLine(const LineFormat& a, const LineFormat& b) {
    return a.wordLength == b.wordLength && a.parity == b.parity && a.stopBits == b.stopBits;
}

bool sameFlow(const PortState& a, const PortState& b) {
    return a.rtsCtsHandshake == b.rtsCtsHandshake && a.xonXoffOutput == b.xonXoffOutput &&
           a.xonXoffInput == b.xonXoffInput;
}

}  // namespace

size_t encodeSettings(const PortState* reported, const PortState& current, unsigned char* out) {
    size_t size = 0;
    if (reported == nullptr || reported->baudRate != current.baudRate) {
        unsigned char baud[4];
        putLong(baud, current.baudRate);
        size += net::encodeRecord(net::code::setBaudRate, baud, sizeof baud, out + size);
    }
    if (reported == nullptr || !sameLine(reported->line, current.line)) {
        const unsigned char line[3] = {current.line.stopBits, current.line.parity, current.line.wordLength};
        size += net::encodeRecord(net::code::setLineControl, line, sizeof line, out + size);
    }
    if (reported == nullptr || !sameFlow(*reported, current)) {
        unsigned char flow[16];
        putLong(flow, dtrControl | (current.rtsCtsHandshake ? ctsHandshake : 0));
        putLong(flow + 4, (current.xonXoffOutput ? autoTransmit : 0) | (current.xonXoffInput ? autoReceive : 0) |
                              (current.rtsCtsHandshake ? rtsHandshake : rtsControl));
        putLong(flow + 8, xonLimit);
        putLong(flow + 12, xoffLimit);
        size += net::encodeRecord(net::code::setHandflow, flow, sizeof flow, out + size);
    }
    if (reported == nullptr || reported->xonChar != current.xonChar || reported->xoffChar != current.xoffChar) {
        // EOF, error, break and event characters: none.
        const unsigned char chars[6] = {0, 0, 0, 0, current.xonChar, current.xoffChar};
        size += net::encodeRecord(net::code::setChars, chars, sizeof chars, out + size);
    }
    return size;
}

size_t encodePurge(uint32_t mask, unsigned char* out) {
    unsigned char bits[4];
    putLong(bits, mask);
    return net::encodeRecord(net::code::purge, bits, sizeof bits, out);
}

}  // namespace client
