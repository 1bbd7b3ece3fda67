#include "net/protocol.h"

#include <cstring>

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
    request.ioControlCode = static_cast<uint32_t>(record[2]) | static_cast<uint32_t>(record[3]) << 8 |
                            static_cast<uint32_t>(record[4]) << 16 |
                            static_cast<uint32_t>(record[5]) << 24;
    request.inputLength = record[0];
    request.input = record + recordHeaderSize;
    return request;
}

size_t encodeRecord(uint32_t ioControlCode, const void* input, int inputLength, unsigned char* out,
                    unsigned char reserved) {
    out[0] = static_cast<unsigned char>(inputLength);
    out[1] = reserved;
    for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<unsigned char>(ioControlCode >> (8 * i));
    if (inputLength > 0) std::memcpy(out + recordHeaderSize, input, static_cast<size_t>(inputLength));
    return static_cast<size_t>(recordHeaderSize + inputLength);
}

}  // namespace net
