#include "server/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_pair.h"
#include "server/control_codes.h"

namespace {

using testing_support::LineSettings;
using testing_support::PtyPair;
using testing_support::readLineSettings;

std::vector<unsigned char> little32(std::initializer_list<uint32_t> values) {
    std::vector<unsigned char> bytes;
    for (uint32_t value : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    return bytes;
}

class SerialPortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        port.device = pty.slavePath;
        ASSERT_EQ(port.open(3, 9600, 0, 8, 0), 0);
    }

    bool replay(uint32_t code, const std::vector<unsigned char>& input = {}) {
        return port.replay(code, input.data(), static_cast<int>(input.size()));
    }

    std::string read(int capacity) {
        unsigned char buffer[256];
        int got = port.read(buffer, capacity);
        EXPECT_GE(got, 0);
        return std::string(reinterpret_cast<char*>(buffer), got < 0 ? 0 : static_cast<size_t>(got));
    }

    PtyPair pty;
    server::SerialPort port{4096};
};

TEST_F(SerialPortOnPty, OpensRawAt9600EightNoneOneWithoutSoftwareFlowControl) {
    const LineSettings line = readLineSettings(pty.master);
    EXPECT_EQ(line.outputSpeed, 9600u);
    EXPECT_EQ(line.cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL), static_cast<uint32_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(line.iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.oflag & OPOST, 0u);
    EXPECT_EQ(line.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(port.name(), pty.slavePath);
}

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

TEST(SerialPortNames, NumbersWithoutATtyNeverOpen) {
    server::SerialPort port(4096);
    for (int32_t number : {0, -1, 10, 65536}) EXPECT_EQ(port.open(number), -1) << number;
    port.device = "/nonexistent/tty";
    EXPECT_EQ(port.open(1), -1);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(SerialPortOnPty, ReadEndsWhenFullAfterAGapOrAfterTheTotalTimeOut) {
    ASSERT_TRUE(pty.send(std::string(64, 'a') + "rest"));
    EXPECT_EQ(read(64), std::string(64, 'a'));
    // A burst shorter than the buffer ends at the gap behind it.
    EXPECT_EQ(read(64), "rest");
    // A silent line: nothing, after the total time-out (shortened here).
    port.timeouts.readTotalMultiplier = 0;
    port.timeouts.readTotalConstant = 20;
    EXPECT_EQ(read(64), "");
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
    EXPECT_TRUE(replay(code::purge, little32({0x0F})));
    EXPECT_TRUE(replay(code::setQueueSize, little32({4096, 4096})));
    EXPECT_TRUE(replay(code::setTimeouts, little32({0xFFFFFFFF, 0, 0, 0, 0})));
    EXPECT_TRUE(replay(code::setWaitMask, little32({0x01})));
}

TEST_F(SerialPortOnPty, RefusedRequestsLeaveTheLineAlone) {
    EXPECT_FALSE(replay(server::code::setBaudRate, little32({0})));
    EXPECT_FALSE(replay(0x1B00A0));
    EXPECT_EQ(readLineSettings(pty.master).outputSpeed, 9600u);
}

}  // namespace
