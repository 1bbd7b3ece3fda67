// Data bits and parity, which a pty cannot hold, checked on the flags alone.
#include <termios.h>

#include <gtest/gtest.h>

#include "server/tty_linux.h"

namespace {

using server::tty::TtyFlags;

TEST(TtyFlags, LineControlSetsSizeParityAndStopBitsAndClearsTheRest) {
    constexpr uint32_t parityBits = PARENB | PARODD | CMSPAR;
    struct Case {
        uint8_t stopBits, parity, wordLength;
        uint32_t cflag, iflag;
    };
    const Case cases[] = {
        {2, 2, 7, CS7 | PARENB | CSTOPB, INPCK},
        {0, 1, 8, CS8 | PARENB | PARODD, INPCK},
        {0, 3, 8, CS8 | parityBits, INPCK},
        {0, 4, 8, CS8 | PARENB | CMSPAR, INPCK},
        {1, 0, 5, CS5 | CSTOPB, 0},  // one and a half stop bits
    };
    // Flags the line control does not own survive it.
    const TtyFlags before{INPCK | IXON, CS6 | parityBits | CSTOPB | CRTSCTS | CREAD | CLOCAL};
    for (const Case& c : cases) {
        TtyFlags flags = before;
        server::tty::applyLineControl(flags, net::LineFormat{c.stopBits, c.parity, c.wordLength});
        EXPECT_EQ(flags.cflag, c.cflag | CRTSCTS | CREAD | CLOCAL) << int(c.parity) << "/" << int(c.wordLength);
        EXPECT_EQ(flags.iflag, c.iflag | IXON);
    }
}

}  // namespace
