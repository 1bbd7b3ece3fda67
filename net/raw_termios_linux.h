// Raw mode for a Linux tty or pseudo-terminal set through TCSETS2. Include
// it instead of <termios.h>: asm/termbits.h declares the same names.
#pragma once

#include <asm/termbits.h>

#include "net/serial_settings.h"

namespace net {

// No line editing, echo, signals or output processing; 8 data bits, no
// parity, receiver on, modem status ignored, no XON/XOFF either way.
inline void makeRawTermios(termios2& settings) {
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                                IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
}

// The c_cflag bits of a driver's parity value.
inline tcflag_t parityFlags(uint8_t parity) {
    switch (parity) {
    case parityOdd: return PARENB | PARODD;
    case parityEven: return PARENB;
    case parityMark: return PARENB | PARODD | CMSPAR;
    case paritySpace: return PARENB | CMSPAR;
    default: return 0;
    }
}

// The flow control the settings ask for.
inline FlowSettings flowOf(const termios2& settings) {
    return {(settings.c_cflag & CRTSCTS) != 0, (settings.c_iflag & IXON) != 0, (settings.c_iflag & IXOFF) != 0};
}

}  // namespace net
