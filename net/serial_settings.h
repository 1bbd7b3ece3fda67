// A serial port's line settings as a COM driver encodes them: what a port
// reports to RFC 2217 clients and what their commands change.
#pragma once

#include <cstdint>

namespace net {

// Values as the serial driver's line-control request encodes them.
enum Parity : uint8_t { parityNone = 0, parityOdd = 1, parityEven = 2, parityMark = 3, paritySpace = 4 };
enum StopBits : uint8_t { stopOne = 0, stopOneAndHalf = 1, stopTwo = 2 };

// SET_LINE_CONTROL's input, in its byte order.
struct LineFormat {
    uint8_t stopBits = stopOne;
    uint8_t parity = parityNone;
    uint8_t wordLength = 8;
};

inline bool operator==(const LineFormat& a, const LineFormat& b) {
    return a.stopBits == b.stopBits && a.parity == b.parity && a.wordLength == b.wordLength;
}

// The longer stop length a UART gives: one and a half with 5 data bits, two otherwise.
inline StopBits longStopBits(uint8_t wordLength) { return wordLength == 5 ? stopOneAndHalf : stopTwo; }

// False for what no COM driver takes, among it 1.5 stop bits without 5
// data bits and 2 stop bits with 5.
inline bool validLineFormat(const LineFormat& line) {
    if (line.parity > paritySpace || line.wordLength < 5 || line.wordLength > 8) return false;
    return line.stopBits == stopOne || line.stopBits == longStopBits(line.wordLength);
}

struct FlowSettings {
    bool ctsRts = false;
    bool xonXoffOutput = false;  // obeys XON/XOFF from the line
    bool xonXoffInput = false;   // sends XON/XOFF itself
};

inline bool operator==(const FlowSettings& a, const FlowSettings& b) {
    return a.ctsRts == b.ctsRts && a.xonXoffOutput == b.xonXoffOutput && a.xonXoffInput == b.xonXoffInput;
}

struct SerialSettings {
    uint32_t baudRate = 9600;
    LineFormat line;
    FlowSettings flow;
};

// Modem input lines, each bit four above the bit that marks its change.
constexpr uint8_t modemCts = 0x10;
constexpr uint8_t modemDsr = 0x20;
constexpr uint8_t modemRi = 0x40;
constexpr uint8_t modemCd = 0x80;

}  // namespace net
