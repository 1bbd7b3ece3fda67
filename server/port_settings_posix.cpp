// What the tty holds now, for RFC 2217 answers. Apart from serial_port_posix.cpp
// because asm/termbits.h cannot share a file with glibc's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "server/serial_port.h"

namespace server {

bool SerialPort::readSettings(net::SerialSettings& out) const {
    termios2 settings;
    if (fd < 0 || ::ioctl(fd, TCGETS2, &settings) != 0) return false;
    out.baudRate = settings.c_ospeed;
    switch (settings.c_cflag & CSIZE) {
    case CS5: out.wordLength = 5; break;
    case CS6: out.wordLength = 6; break;
    case CS7: out.wordLength = 7; break;
    default: out.wordLength = 8; break;
    }
    const tcflag_t cflag = settings.c_cflag;
    if (!(cflag & PARENB))
        out.parity = 0;
    else if (cflag & CMSPAR)
        out.parity = (cflag & PARODD) ? 3 : 4;
    else
        out.parity = (cflag & PARODD) ? 1 : 2;
    // CSTOPB gives one and a half stop bits with five data bits.
    out.stopBits = !(cflag & CSTOPB) ? 0 : out.wordLength == 5 ? 1 : 2;
    out.ctsRts = (cflag & CRTSCTS) != 0;
    out.xonXoffOutput = (settings.c_iflag & IXON) != 0;
    out.xonXoffInput = (settings.c_iflag & IXOFF) != 0;
    return true;
}

bool SerialPort::readModemLines(uint8_t& lines) const {
    int bits = 0;
    // A pty has no modem lines: ENOTTY.
    if (fd < 0 || ::ioctl(fd, TIOCMGET, &bits) != 0) return false;
    lines = static_cast<uint8_t>(((bits & TIOCM_CTS) ? net::modemCts : 0) | ((bits & TIOCM_DSR) ? net::modemDsr : 0) |
                                 ((bits & TIOCM_RI) ? net::modemRi : 0) | ((bits & TIOCM_CD) ? net::modemCd : 0));
    return true;
}

}  // namespace server
