#include <termios.h>

#include <gtest/gtest.h>

#include "server/tty_posix.h"

namespace {

using server::LineControl;
using server::tty::TtyFlags;

TtyFlags lineFlags(TtyFlags start, uint8_t stopBits, uint8_t parity, uint8_t wordLength) {
    server::tty::applyLineControl(start, LineControl{stopBits, parity, wordLength});
    return start;
}

TEST(TtyFlags, LineControlSetsSizeParityAndStopBits) {
    const TtyFlags eightNone = lineFlags({ICRNL, CS8 | CREAD | CLOCAL}, 0, 0, 8);
    EXPECT_EQ(eightNone.cflag, static_cast<uint32_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(eightNone.iflag, static_cast<uint32_t>(ICRNL));

    const TtyFlags sevenEvenTwo = lineFlags({0, CS8}, 2, 2, 7);
    EXPECT_EQ(sevenEvenTwo.cflag & CSIZE, static_cast<uint32_t>(CS7));
    EXPECT_EQ(sevenEvenTwo.cflag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB));
    EXPECT_TRUE(sevenEvenTwo.cflag & CSTOPB);
    EXPECT_TRUE(sevenEvenTwo.iflag & INPCK);

    EXPECT_EQ(lineFlags({}, 0, 1, 8).cflag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB | PARODD));
    EXPECT_EQ(lineFlags({}, 0, 3, 8).cflag & (PARENB | PARODD | CMSPAR),
              static_cast<uint32_t>(PARENB | PARODD | CMSPAR));
    EXPECT_EQ(lineFlags({}, 0, 4, 8).cflag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB | CMSPAR));
    // One and a half stop bits exist only with five data bits: CSTOPB.
    const TtyFlags fiveHalf = lineFlags({}, 1, 0, 5);
    EXPECT_EQ(fiveHalf.cflag & CSIZE, static_cast<uint32_t>(CS5));
    EXPECT_TRUE(fiveHalf.cflag & CSTOPB);
}

TEST(TtyFlags, LineControlClearsWhatItDoesNotSet) {
    const TtyFlags before{INPCK | IXON, CS5 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS};
    const TtyFlags after = lineFlags(before, 0, 0, 8);
    EXPECT_EQ(after.cflag, static_cast<uint32_t>(CS8 | CRTSCTS));
    EXPECT_EQ(after.iflag, static_cast<uint32_t>(IXON));
}

TEST(TtyFlags, FlowControlMapsHandshakesOnly) {
    TtyFlags flags{ICRNL | IXON, CS8 | CRTSCTS};
    server::FlowControl software;
    software.outputXonXoff = true;
    software.inputXonXoff = true;
    server::tty::applyFlowControl(flags, software);
    EXPECT_EQ(flags.iflag, static_cast<uint32_t>(ICRNL | IXON | IXOFF));
    EXPECT_EQ(flags.cflag, static_cast<uint32_t>(CS8));

    server::FlowControl hardware;
    hardware.ctsRts = true;
    server::tty::applyFlowControl(flags, hardware);
    EXPECT_EQ(flags.iflag, static_cast<uint32_t>(ICRNL));
    EXPECT_EQ(flags.cflag, static_cast<uint32_t>(CS8 | CRTSCTS));
}

}  // namespace
