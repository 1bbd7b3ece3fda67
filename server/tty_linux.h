// Termios and modem-line changes on a Linux tty. Termios goes through
// TCGETS2/TCSETS2, whose header cannot live beside glibc's <termios.h>, so
// everything that needs it stays in tty_linux.cpp.
#pragma once

#include <cstdint>

#include "server/control_codes.h"

namespace server::tty {

// The two termios words that line control and flow control touch.
struct TtyFlags {
    uint32_t iflag = 0;
    uint32_t cflag = 0;
};

// Data bits, parity (with input parity checking) and stop bits.
void applyLineControl(TtyFlags& flags, const net::LineFormat& line);
void applyFlowControl(TtyFlags& flags, const FlowControl& flow);

// Raw 8 data bits, receiver on, modem status ignored, no XON/XOFF either
// way, XON 0x11 and XOFF 0x13; reads return at once.
bool makeRaw(int fd);
// Any rate the driver takes (BOTHER); false when it ends up elsewhere.
bool setBaudRate(int fd, uint32_t bitsPerSecond);
bool setLineControl(int fd, const net::LineFormat& line);
bool setFlowControl(int fd, const FlowControl& flow);
bool setFlowChars(int fd, uint8_t xon, uint8_t xoff);
// A tty without modem lines (a pty) takes the change as a null-modem cable
// would: it succeeds.
bool changeModemLines(int fd, const ModemLines& lines);
// RS-485 transmit toggling where the driver has it; elsewhere RTS stays up.
bool setTransmitToggle(int fd, bool on);
bool setBreak(int fd, bool on);
bool flush(int fd, bool output, bool input);
bool stopOutput(int fd, bool stop);
// The line settings in effect, for RFC 2217 answers.
bool readLineSettings(int fd, net::SerialSettings& out);
// The modem input lines (net::modemCts...); false without any (a pty).
bool readModemLines(int fd, uint8_t& lines);

}  // namespace server::tty
