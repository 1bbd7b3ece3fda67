// What crosses the network between the two programs: the port-number
// handshake, the control-request records and the data stream's piece size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace net {

// Serial data moves in pieces of at most largeChunkSize bytes, taking what
// is there without waiting for more. Reads that wait to fill their buffer
// (the server's port with a nonzero interval) and the Windows driver's
// requests keep to chunkSize.
constexpr int chunkSize = 64;
constexpr int largeChunkSize = 4096;
// One control-wait result, and the server's record buffer.
constexpr int controlBufferSize = 4096;
constexpr uint16_t defaultPort = 8875;

constexpr int handshakeSize = 2;

// Control-request record: length L, a reserved byte, the little-endian
// 32-bit I/O control code, then L input bytes.
constexpr int recordHeaderSize = 6;
constexpr int maxInputLength = 127;
constexpr int maxRecordSize = recordHeaderSize + maxInputLength;

void encodeHandshake(uint16_t port, unsigned char out[handshakeSize]);
uint16_t decodeHandshake(const unsigned char in[handshakeSize]);

struct ControlRequest {
    uint32_t ioControlCode = 0;
    const unsigned char* input = nullptr;
    int inputLength = 0;
};

// True when the length byte announces a valid record (0 to 127 input bytes).
inline bool validRecordLength(unsigned char length) { return length <= maxInputLength; }

// Reads the record at the start of `record`, which holds all 6 + L bytes.
ControlRequest decodeRecord(const unsigned char* record);

// Writes one record into `out` (room for 6 + inputLength bytes) and returns
// its size. `reserved` is the driver's byte, not interpreted by the server.
size_t encodeRecord(uint32_t ioControlCode, const void* input, int inputLength, unsigned char* out,
                    unsigned char reserved = 0);

}  // namespace net
