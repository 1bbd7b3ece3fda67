// The Windows serial I/O control codes that clients forward, and what a COM
// driver makes of each one with its input bytes, decoded without a port.
#pragma once

#include <cstdint>

namespace server {

// Each code is 0x001B0000 | function << 2: serial device, buffered, any access.
namespace code {
constexpr uint32_t setBaudRate = 0x1B0004;
constexpr uint32_t setQueueSize = 0x1B0008;
constexpr uint32_t setLineControl = 0x1B000C;
constexpr uint32_t setBreakOn = 0x1B0010;
constexpr uint32_t setBreakOff = 0x1B0014;
constexpr uint32_t immediateChar = 0x1B0018;
constexpr uint32_t setTimeouts = 0x1B001C;
constexpr uint32_t getTimeouts = 0x1B0020;
constexpr uint32_t setDtr = 0x1B0024;
constexpr uint32_t clrDtr = 0x1B0028;
constexpr uint32_t resetDevice = 0x1B002C;
constexpr uint32_t setRts = 0x1B0030;
constexpr uint32_t clrRts = 0x1B0034;
constexpr uint32_t setXoff = 0x1B0038;
constexpr uint32_t setXon = 0x1B003C;
constexpr uint32_t getWaitMask = 0x1B0040;
constexpr uint32_t setWaitMask = 0x1B0044;
constexpr uint32_t waitOnMask = 0x1B0048;
constexpr uint32_t purge = 0x1B004C;
constexpr uint32_t getBaudRate = 0x1B0050;
constexpr uint32_t getLineControl = 0x1B0054;
constexpr uint32_t getChars = 0x1B0058;
constexpr uint32_t setChars = 0x1B005C;
constexpr uint32_t getHandflow = 0x1B0060;
constexpr uint32_t setHandflow = 0x1B0064;
constexpr uint32_t getModemStatus = 0x1B0068;
constexpr uint32_t getCommStatus = 0x1B006C;
constexpr uint32_t xoffCounter = 0x1B0070;
constexpr uint32_t getProperties = 0x1B0074;
constexpr uint32_t getDtrRts = 0x1B0078;
constexpr uint32_t lsrmstInsert = 0x1B007C;
constexpr uint32_t configSize = 0x1B0080;
constexpr uint32_t getStats = 0x1B008C;
constexpr uint32_t clearStats = 0x1B0090;
constexpr uint32_t getModemControl = 0x1B0094;
constexpr uint32_t setModemControl = 0x1B0098;
constexpr uint32_t setFifoControl = 0x1B009C;
}  // namespace code

struct ControlCodeInfo {
    uint32_t code;
    uint8_t inputSize;   // bytes the driver needs at least
    uint8_t outputSize;  // nonzero: fails without an output buffer
};

// The code's entry, or null for a code that no COM driver knows.
const ControlCodeInfo* findControlCode(uint32_t code);

// How a COM driver turns a request down (its Win32 error).
enum class Refusal {
    none,
    insufficientBuffer,  // 122: input too short, or output needed
    invalidParameter,    // 87: bad value, unknown code
};

// SET_LINE_CONTROL, in the driver's encoding: stop bits 0 one, 1 one and a
// half, 2 two; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; 5 to 8 bits.
struct LineControl {
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    uint8_t wordLength = 8;
};

bool validLineControl(const LineControl& line);

// Modem-control outputs in the driver's bit order.
constexpr uint8_t lineDtr = 0x01;
constexpr uint8_t lineRts = 0x02;
constexpr uint8_t lineOut1 = 0x04;
constexpr uint8_t lineOut2 = 0x08;
constexpr uint8_t lineLoop = 0x10;

struct ModemLines {
    uint8_t raise = 0;
    uint8_t lower = 0;
};

// What SET_HANDFLOW asks of the line.
struct FlowControl {
    bool ctsRts = false;       // hardware handshake (CTS in or RTS out)
    bool outputXonXoff = false;  // stop sending on XOFF
    bool inputXonXoff = false;   // send XOFF when the input fills
    bool rtsToggle = false;      // RTS up while sending (RS-485)
    ModemLines lines;
};

enum class PortAction {
    none,  // accepted, nothing to do on the line
    baudRate,
    lineControl,
    breakOn,
    breakOff,
    immediateChar,
    modemLines,
    stopOutput,
    startOutput,
    purge,
    flowChars,
    flowControl,
};

// One decoded request: refused, or the action with its values.
struct PortRequest {
    Refusal refusal = Refusal::none;
    PortAction action = PortAction::none;
    uint32_t baudRate = 0;
    LineControl line;
    uint8_t character = 0;
    ModemLines lines;
    bool purgeOutput = false;
    bool purgeInput = false;
    uint8_t xonChar = 0;
    uint8_t xoffChar = 0;
    FlowControl flow;
};

// Checks a request as a COM driver does and says what it does to the line.
// No output buffer is ever given.
PortRequest decodePortRequest(uint32_t ioControlCode, const unsigned char* input, int length);

}  // namespace server
