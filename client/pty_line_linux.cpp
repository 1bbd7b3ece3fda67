#include "client/pty_line_linux.h"

#include <sys/ioctl.h>

#include "net/raw_termios_linux.h"

namespace client {

bool prepareLine(int master, const LineFormat& line) {
    termios2 settings{};
    if (ioctl(master, TCGETS2, &settings) != 0) return false;
    net::makeRawTermios(settings);
    settings.c_lflag |= EXTPROC;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CSTOPB | PARODD | CMSPAR | CRTSCTS);
    settings.c_cflag |= B9600;
    settings.c_ispeed = settings.c_ospeed = 9600;
    if (line.stopBits != net::stopOne) settings.c_cflag |= CSTOPB;
    // Without PARENB, which a pseudo-terminal drops.
    settings.c_cflag |= net::parityFlags(line.parity) & ~static_cast<tcflag_t>(PARENB);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ioctl(master, TCSETS2, &settings) == 0;
}

bool readPortState(int master, const LineFormat& line, PortState& state, bool* reported) {
    termios2 settings{};
    if (ioctl(master, TCGETS2, &settings) != 0) return false;
    if (reported != nullptr) *reported = (settings.c_lflag & EXTPROC) != 0;
    state.baudRate = settings.c_ospeed;
    state.line.wordLength = line.wordLength;
    state.line.stopBits = (settings.c_cflag & CSTOPB) ? net::longStopBits(line.wordLength) : net::stopOne;
    // PARENB never sticks on a pseudo-terminal; PARODD and CMSPAR do.
    const bool odd = (settings.c_cflag & PARODD) != 0;
    const bool stick = (settings.c_cflag & CMSPAR) != 0;
    if (odd && stick)
        state.line.parity = net::parityMark;
    else if (stick)
        state.line.parity = net::paritySpace;
    else if (odd)
        state.line.parity = net::parityOdd;
    else
        state.line.parity = line.parity == net::parityEven ? net::parityEven : net::parityNone;
    state.flow = net::flowOf(settings);
    state.xonChar = settings.c_cc[VSTART];
    state.xoffChar = settings.c_cc[VSTOP];
    return true;
}

void restoreExtproc(int master) {
    termios2 settings{};
    if (ioctl(master, TCGETS2, &settings) != 0 || (settings.c_lflag & EXTPROC) != 0) return;
    settings.c_lflag |= EXTPROC;
    ioctl(master, TCSETS2, &settings);
}

}  // namespace client
