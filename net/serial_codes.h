// The Windows serial I/O control codes that control requests carry: the
// client builds records with them and the server replays them.
#pragma once

#include <cstdint>

#include "net/serial_settings.h"

namespace net {

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

// SET_HANDFLOW input: ControlHandShake, FlowReplace, XonLimit, XoffLimit.
namespace handflow {
constexpr int size = 16;
// ControlHandShake.
constexpr uint32_t dtrMask = 0x03;
constexpr uint32_t dtrControl = 0x01;
constexpr uint32_t ctsHandshake = 0x08;
constexpr uint32_t controlInvalid = 0x7FFFFF84;
// FlowReplace.
constexpr uint32_t autoTransmit = 0x01;
constexpr uint32_t autoReceive = 0x02;
constexpr uint32_t rtsMask = 0xC0;
constexpr uint32_t rtsControl = 0x40;
constexpr uint32_t rtsHandshake = 0x80;
constexpr uint32_t flowInvalid = 0x7FFFFF20;
// The limits Windows ports start with.
constexpr uint32_t xonLimit = 2048;
constexpr uint32_t xoffLimit = 512;
}  // namespace handflow

// A SET_HANDFLOW input with DTR on or off, RTS on or off unless RTS/CTS
// drives it, and the default limits.
void encodeHandflow(const FlowSettings& flow, bool dtr, bool rts, unsigned char out[handflow::size]);
// What the input's handshake and flow bits ask for; RTS handshake counts as
// RTS/CTS.
FlowSettings decodeHandflow(const unsigned char input[handflow::size]);

// PURGE bits: abort the pending transfers and clear the queue, each way.
namespace purge {
constexpr uint32_t txAbort = 0x01;
constexpr uint32_t rxAbort = 0x02;
constexpr uint32_t txClear = 0x04;
constexpr uint32_t rxClear = 0x08;
constexpr uint32_t transmit = txAbort | txClear;
constexpr uint32_t receive = rxAbort | rxClear;
}  // namespace purge

}  // namespace net
