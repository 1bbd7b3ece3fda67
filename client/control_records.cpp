#include "client/control_records.h"

#include "net/byte_order.h"
#include "net/protocol.h"
#include "net/serial_codes.h"

namespace client {

size_t encodeSettings(const PortState* reported, const PortState& current, unsigned char* out) {
    size_t size = 0;
    if (reported == nullptr || reported->baudRate != current.baudRate) {
        unsigned char baud[4];
        net::putLittle32(baud, current.baudRate);
        size += net::encodeRecord(net::code::setBaudRate, baud, sizeof baud, out + size);
    }
    if (reported == nullptr || !(reported->line == current.line)) {
        const unsigned char line[3] = {current.line.stopBits, current.line.parity, current.line.wordLength};
        size += net::encodeRecord(net::code::setLineControl, line, sizeof line, out + size);
    }
    if (reported == nullptr || !(reported->flow == current.flow)) {
        // DTR stays on (as any Windows program leaves it) and RTS either on
        // or doing RTS/CTS; a server on a port without modem lines takes
        // both without touching lines it does not have.
        unsigned char flow[net::handflow::size];
        net::encodeHandflow(current.flow, true, true, flow);
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
    net::putLittle32(bits, mask);
    return net::encodeRecord(net::code::purge, bits, sizeof bits, out);
}

}  // namespace client
