#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "net/raw_termios_linux.h"
#include "server/tty_linux.h"

// asm/termios.h has these, but it clashes with <sys/ioctl.h>.
#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#define TIOCM_OUT2 0x4000
#define TIOCM_LOOP 0x8000
#endif

namespace server::tty {

namespace {

constexpr uint8_t xonChar = 0x11;
constexpr uint8_t xoffChar = 0x13;

bool readTermios(int fd, termios2& settings) { return ::ioctl(fd, TCGETS2, &settings) == 0; }

bool writeTermios(int fd, const termios2& settings) { return ::ioctl(fd, TCSETS2, &settings) == 0; }

template <typename Change>
bool changeSettings(int fd, Change change) {
    termios2 settings;
    if (!readTermios(fd, settings)) return false;
    change(settings);
    return writeTermios(fd, settings);
}

template <typename Apply>
bool changeFlags(int fd, Apply apply) {
    return changeSettings(fd, [&](termios2& settings) {
        TtyFlags flags{settings.c_iflag, settings.c_cflag};
        apply(flags);
        settings.c_iflag = flags.iflag;
        settings.c_cflag = flags.cflag;
    });
}

int modemBits(uint8_t lines) {
    int bits = 0;
    if (lines & lineDtr) bits |= TIOCM_DTR;
    if (lines & lineRts) bits |= TIOCM_RTS;
    if (lines & lineOut1) bits |= TIOCM_OUT1;
    if (lines & lineOut2) bits |= TIOCM_OUT2;
    if (lines & lineLoop) bits |= TIOCM_LOOP;
    return bits;
}

bool modemRequest(int fd, unsigned long request, uint8_t lines) {
    int bits = modemBits(lines);
    if (bits == 0 || ::ioctl(fd, request, &bits) == 0) return true;
    // No modem lines at all: nothing is connected to them.
    return errno == ENOTTY;
}

}  // namespace

void applyLineControl(TtyFlags& flags, const net::LineFormat& line) {
    static const uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    flags.cflag = (flags.cflag & ~static_cast<uint32_t>(CSIZE)) | sizes[line.wordLength - 5];
    flags.cflag &= ~static_cast<uint32_t>(PARENB | PARODD | CMSPAR | CSTOPB);
    flags.iflag &= ~static_cast<uint32_t>(INPCK);
    flags.cflag |= net::parityFlags(line.parity);
    if (line.parity != net::parityNone) flags.iflag |= INPCK;
    if (line.stopBits != 0) flags.cflag |= CSTOPB;
}

void applyFlowControl(TtyFlags& flags, const FlowControl& flow) {
    flags.cflag &= ~static_cast<uint32_t>(CRTSCTS);
    flags.iflag &= ~static_cast<uint32_t>(IXON | IXOFF);
    if (flow.ctsRts) flags.cflag |= CRTSCTS;
    if (flow.xonXoffOutput) flags.iflag |= IXON;
    if (flow.xonXoffInput) flags.iflag |= IXOFF;
}

bool makeRaw(int fd) {
    return changeSettings(fd, [](termios2& settings) {
        net::makeRawTermios(settings);
        settings.c_cc[VSTART] = xonChar;
        settings.c_cc[VSTOP] = xoffChar;
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
    });
}

bool setBaudRate(int fd, uint32_t bitsPerSecond) {
    bool written = changeSettings(fd, [&](termios2& settings) {
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | BOTHER;
        settings.c_ispeed = bitsPerSecond;
        settings.c_ospeed = bitsPerSecond;
    });
    termios2 result;
    if (!written || !readTermios(fd, result)) return false;
    // A UART rounds to its divisor; a driver that fell back to another rate
    // did not take the request. 3% stays within what framing tolerates.
    uint64_t difference = result.c_ospeed > bitsPerSecond ? result.c_ospeed - bitsPerSecond
                                                          : bitsPerSecond - result.c_ospeed;
    return difference * 100 <= static_cast<uint64_t>(bitsPerSecond) * 3;
}

bool setLineControl(int fd, const net::LineFormat& line) {
    return changeFlags(fd, [&](TtyFlags& flags) { applyLineControl(flags, line); });
}

bool setFlowControl(int fd, const FlowControl& flow) {
    return changeFlags(fd, [&](TtyFlags& flags) { applyFlowControl(flags, flow); });
}

bool setFlowChars(int fd, uint8_t xon, uint8_t xoff) {
    return changeSettings(fd, [&](termios2& settings) {
        settings.c_cc[VSTART] = xon;
        settings.c_cc[VSTOP] = xoff;
    });
}

bool changeModemLines(int fd, const ModemLines& lines) {
    return modemRequest(fd, TIOCMBIS, lines.raise) && modemRequest(fd, TIOCMBIC, lines.lower);
}

bool setTransmitToggle(int fd, bool on) {
    serial_rs485 rs485{};
    if (::ioctl(fd, TIOCGRS485, &rs485) != 0) {
        if (errno != ENOTTY) return false;
        return !on || changeModemLines(fd, ModemLines{lineRts, 0});
    }
    rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND);
    if (on) rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    return ::ioctl(fd, TIOCSRS485, &rs485) == 0;
}

bool setBreak(int fd, bool on) { return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0; }

bool flush(int fd, bool output, bool input) {
    if (output && input) return ::ioctl(fd, TCFLSH, TCIOFLUSH) == 0;
    return ::ioctl(fd, TCFLSH, output ? TCOFLUSH : TCIFLUSH) == 0;
}

bool stopOutput(int fd, bool stop) { return ::ioctl(fd, TCXONC, stop ? TCOOFF : TCOON) == 0; }

bool readLineSettings(int fd, net::SerialSettings& out) {
    termios2 settings;
    if (!readTermios(fd, settings)) return false;
    out.baudRate = settings.c_ospeed;
    net::LineFormat& line = out.line;
    switch (settings.c_cflag & CSIZE) {
    case CS5: line.wordLength = 5; break;
    case CS6: line.wordLength = 6; break;
    case CS7: line.wordLength = 7; break;
    default: line.wordLength = 8; break;
    }
    const tcflag_t cflag = settings.c_cflag;
    if (!(cflag & PARENB))
        line.parity = net::parityNone;
    else if (cflag & CMSPAR)
        line.parity = (cflag & PARODD) ? net::parityMark : net::paritySpace;
    else
        line.parity = (cflag & PARODD) ? net::parityOdd : net::parityEven;
    line.stopBits = (cflag & CSTOPB) ? net::longStopBits(line.wordLength) : net::stopOne;
    out.flow = net::flowOf(settings);
    return true;
}

bool readModemLines(int fd, uint8_t& lines) {
    int bits = 0;
    // A pty has no modem lines: ENOTTY.
    if (::ioctl(fd, TIOCMGET, &bits) != 0) return false;
    lines = static_cast<uint8_t>(((bits & TIOCM_CTS) ? net::modemCts : 0) | ((bits & TIOCM_DSR) ? net::modemDsr : 0) |
                                 ((bits & TIOCM_RI) ? net::modemRi : 0) | ((bits & TIOCM_CD) ? net::modemCd : 0));
    return true;
}

}  // namespace server::tty
