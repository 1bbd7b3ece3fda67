// The "line" setting: data bits, parity and stop bits written as 8N1, 7E1,
// 5O1.5 and so on. On Linux it supplies what a pseudo-terminal cannot hold.
#pragma once

#include <cstdint>

namespace client {

// Values as the serial driver's line-control request encodes them.
enum Parity : uint8_t { parityNone = 0, parityOdd = 1, parityEven = 2, parityMark = 3, paritySpace = 4 };
enum StopBits : uint8_t { stopOne = 0, stopOneAndHalf = 1, stopTwo = 2 };

struct LineFormat {
    uint8_t wordLength = 8;
    uint8_t parity = parityNone;
    uint8_t stopBits = stopOne;
};

constexpr const char* defaultLine = "8N1";

// Reads "<5..8><N|O|E|M|S><1|1.5|2>" (parity in either case). False for
// anything else, and for the combinations no serial driver accepts (1.5
// stop bits need 5 data bits, 2 stop bits do not go with 5).
bool parseLineFormat(const char* text, LineFormat& format);

}  // namespace client
