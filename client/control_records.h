// Control-request records that describe a serial port's settings, in the
// layout the serial driver would produce for an application's requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/line_format.h"
#include "net/protocol.h"

namespace client {

// What an application can set on the port and the server can replay.
struct PortState {
    uint32_t baudRate = 9600;
    LineFormat line;
    net::FlowSettings flow;
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
};

inline bool operator==(const PortState& a, const PortState& b) {
    return a.baudRate == b.baudRate && a.line == b.line && a.flow == b.flow && a.xonChar == b.xonChar &&
           a.xoffChar == b.xoffChar;
}

// Writes into `out` one record per group of settings that differs between
// `reported` and `current` (all of them when `reported` is null), in the
// order a serial driver sees them when an application sets up its port:
// baud rate, line control, handshake and flow, XON/XOFF characters.
// Returns the bytes written.
size_t encodeSettings(const PortState* reported, const PortState& current, unsigned char* out);

// One PURGE record for `mask` (net::purge::transmit, net::purge::receive).
size_t encodePurge(uint32_t mask, unsigned char* out);

// Calls `visit(record, size)` for each record among `count` bytes of
// records, up to the first that is malformed or cut short.
template <typename Visit>
void forEachRecord(const unsigned char* records, int count, Visit visit) {
    for (int at = 0; at + net::recordHeaderSize <= count;) {
        const int size = net::recordHeaderSize + records[at];
        if (!net::validRecordLength(records[at]) || at + size > count) return;
        visit(records + at, static_cast<size_t>(size));
        at += size;
    }
}

}  // namespace client
