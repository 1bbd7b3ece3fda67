#include "net/protocol.h"

#include <cstring>

#include "net/byte_order.h"

namespace net {

void encodeHandshake(uint16_t port, unsigned char out[handshakeSize]) {
    out[0] = static_cast<unsigned char>(port >> 8);
    out[1] = static_cast<unsigned char>(port & 0xFF);
}

uint16_t decodeHandshake(const unsigned char in[handshakeSize]) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

ControlRequest decodeRecord(const unsigned char* record) {
    ControlRequest request;
    request.ioControlCode = readLittle32(record + 2);
    request.inputLength = record[0];
    request.input = record + recordHeaderSize;
    return request;
}

size_t encodeRecord(uint32_t ioControlCode, const void* input, int inputLength, unsigned char* out,
                    unsigned char reserved) {
    out[0] = static_cast<unsigned char>(inputLength);
    out[1] = reserved;
    putLittle32(out + 2, ioControlCode);
    if (inputLength > 0) std::memcpy(out + recordHeaderSize, input, static_cast<size_t>(inputLength));
    return static_cast<size_t>(recordHeaderSize + inputLength);
}

}  // namespace net
