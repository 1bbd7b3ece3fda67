// Apart from pty_pair.cpp: asm/termbits.h and <termios.h> do not mix.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <stdexcept>

#include "pty_pair.h"

namespace testing_support {

LineSettings readLineSettings(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0) throw std::runtime_error("TCGETS2");
    LineSettings result;
    result.iflag = settings.c_iflag;
    result.oflag = settings.c_oflag;
    result.cflag = settings.c_cflag;
    result.lflag = settings.c_lflag;
    result.startChar = settings.c_cc[VSTART];
    result.stopChar = settings.c_cc[VSTOP];
    result.inputSpeed = settings.c_ispeed;
    result.outputSpeed = settings.c_ospeed;
    return result;
}

}  // namespace testing_support
