// The Windows serial I/O control codes that clients forward, and what a COM
// driver makes of each one with its input bytes, decoded without a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/serial_codes.h"
#include "net/serial_settings.h"

namespace server {

// The codes themselves belong to the wire protocol.
namespace code = net::code;

struct ControlCodeInfo {
    uint32_t code;
    uint8_t inputSize;   // bytes the driver needs at least
    uint8_t outputSize;  // nonzero: fails without an output buffer
    const char* name;
};

// The code's entry, or null for a code that no COM driver knows.
const ControlCodeInfo* findControlCode(uint32_t code);

// How a COM driver turns a request down (its Win32 error).
enum class Refusal {
    none,
    insufficientBuffer,  // 122: input too short, or output needed
    invalidParameter,    // 87: bad value, unknown code
};


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

// What SET_HANDFLOW asks of the line: the flow settings, and more.
struct FlowControl : net::FlowSettings {
    bool rtsToggle = false;  // RTS up while sending (RS-485)
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
    net::LineFormat line;
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

// Requests that change how the line sends (speed, format, characters,
// break) wait for the data before them; the rest act at once, ahead of data
// that waits, as a COM driver carries them out while a write is pending.
bool waitsForData(uint32_t ioControlCode);

// Why a COM driver refuses the request, in words; null when it would take it.
const char* refusalText(uint32_t ioControlCode, const unsigned char* input, int length);

// A request in words for the trace: its name and values (SET_BAUD_RATE
// 115200, SET_LINE_CONTROL 8E1, PURGE tx rx); an unknown code, or an input
// with no words of its own, in hex.
std::string describeRequest(uint32_t ioControlCode, const unsigned char* input, int length);

// An RFC 2217 com-port command (its number, then its value), or a server's
// answer to one, in words: SET-BAUDRATE 115200, PURGE-DATA 3.
std::string describeComPortCommand(const unsigned char* command, size_t length);

}  // namespace server
