#include "server/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "little32.h"
#include "pty_pair.h"
#include "server/control_codes.h"

namespace {

using testing_support::LineSettings;
using testing_support::PtyPair;
using testing_support::readLineSettings;

class SerialPortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        port.device = pty.slavePath;
        ASSERT_EQ(port.open(3, 9600, 0, 8, 0), 0);
    }

    bool replay(uint32_t code, const std::vector<unsigned char>& input = {}) {
        return port.replay(code, input.data(), static_cast<int>(input.size()));
    }

    PtyPair pty;
    server::SerialPort port{4096};
};

TEST_F(SerialPortOnPty, OpenIsExclusiveBothWaysAndCloseReleasesTheLine) {
    server::SerialPort second(4096);
    second.device = pty.slavePath;
    EXPECT_EQ(second.open(0), -1);

    // Someone else holds the line: our open fails; once released it works.
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
    int other = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(second.open(0), -1);
    EXPECT_FALSE(second.isOpen());
    ::close(other);
    EXPECT_EQ(second.open(5), 0);
}

// Baud rates and stop bits are proven end to end; these only reach here.
TEST_F(SerialPortOnPty, ReplayedHandshakesAndFlowCharactersReachTheTty) {
    namespace code = server::code;
    EXPECT_TRUE(replay(code::setHandflow, little32({0x09, 0x43, 10, 10})));
    LineSettings line = readLineSettings(pty.master);
    EXPECT_TRUE(line.cflag & CRTSCTS);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), static_cast<uint32_t>(IXON | IXOFF));
    EXPECT_TRUE(replay(code::setHandflow, little32({0x01, 0x40, 10, 10})));
    line = readLineSettings(pty.master);
    EXPECT_FALSE(line.cflag & CRTSCTS);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), 0u);

    EXPECT_TRUE(replay(code::setChars, {0, 0, 0, 0, 0x21, 0x23}));
    line = readLineSettings(pty.master);
    EXPECT_EQ(line.startChar, 0x21);
    EXPECT_EQ(line.stopChar, 0x23);
}

// A pty has no modem lines (ENOTTY): accepted as over a null-modem cable.
TEST_F(SerialPortOnPty, ModemLineAndLineStateRequestsAreAcceptedOnAPty) {
    namespace code = server::code;
    for (uint32_t request : {code::setDtr, code::clrDtr, code::setRts, code::clrRts, code::setBreakOn,
                             code::setBreakOff, code::resetDevice, code::clearStats, code::setXoff, code::setXon})
        EXPECT_TRUE(replay(request)) << std::hex << request;
    EXPECT_TRUE(replay(code::setModemControl, little32({0x03})));
    EXPECT_TRUE(replay(code::setHandflow, little32({0x00, 0x00, 0, 0})));  // DTR and RTS low
    EXPECT_TRUE(replay(code::setHandflow, little32({0x01, 0xC0, 0, 0})));  // transmit toggle
}

}  // namespace
