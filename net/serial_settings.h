// A serial port's line settings as a COM driver encodes them: what a port
// reports to RFC 2217 clients and what their commands change.
#pragma once

#include <cstdint>

namespace net {

struct SerialSettings {
    uint32_t baudRate = 9600;
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t wordLength = 8;
    bool ctsRts = false;
    bool xonXoffOutput = false;  // obeys XON/XOFF from the line
    bool xonXoffInput = false;   // sends XON/XOFF itself
};

// Modem input lines, each bit four above the bit that marks its change.
constexpr uint8_t modemCts = 0x10;
constexpr uint8_t modemDsr = 0x20;
constexpr uint8_t modemRi = 0x40;
constexpr uint8_t modemCd = 0x80;

}  // namespace net
