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
    EXPECT_EQ(line.inputSpeed, 9600u);
    EXPECT_EQ(line.cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(line.cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(line.cflag & (CREAD | CLOCAL), static_cast<uint32_t>(CREAD | CLOCAL));
    EXPECT_EQ(line.iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.oflag & OPOST, 0u);
    EXPECT_EQ(line.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.startChar, 0x11);
    EXPECT_EQ(line.stopChar, 0x13);
    EXPECT_EQ(port.name(), pty.slavePath);
}

TEST_F(SerialPortOnPty, OpenIsExclusiveBothWays) {
    server::SerialPort second(4096);
    second.device = pty.slavePath;
    EXPECT_EQ(second.open(0), -1);

    // Someone else holds the line: our open fails; once released it works.
    port.close();
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

TEST_F(SerialPortOnPty, SetLineRefusesFramesAUartCannotMake) {
    EXPECT_EQ(port.setLine(9600, 0, 8, 1), -1);  // one and a half stop bits with 8 data bits
    EXPECT_EQ(port.setLine(9600, 7, 8, 0), -1);
    EXPECT_EQ(port.setLine(19200, 0, 8, 2), 0);
    const LineSettings line = readLineSettings(pty.master);
    EXPECT_EQ(line.outputSpeed, 19200u);
    EXPECT_TRUE(line.cflag & CSTOPB);
}

TEST_F(SerialPortOnPty, ReadEndsWhenFullAfterAGapOrAfterTheTotalTimeOut) {
    // Full at once.
    ASSERT_TRUE(pty.send(std::string(64, 'a') + "rest"));
    EXPECT_EQ(read(64), std::string(64, 'a'));
    // A burst shorter than the buffer ends at the gap behind it.
    EXPECT_EQ(read(64), "rest");
    // A silent line: nothing, after the total time-out (shortened here).
    port.timeouts.readTotalMultiplier = 0;
    port.timeouts.readTotalConstant = 20;
    EXPECT_EQ(read(64), "");
}

TEST_F(SerialPortOnPty, WriteDeliversEveryByteInOrder) {
    std::string bytes;
    for (int i = 0; i < 200; ++i) bytes.push_back(static_cast<char>(i));
    EXPECT_EQ(port.write(reinterpret_cast<const unsigned char*>(bytes.data()), 200), 200);
    EXPECT_EQ(pty.receive(200), bytes);
}

TEST_F(SerialPortOnPty, ReplayedLineSettingsReachTheTty) {
    namespace code = server::code;
    EXPECT_TRUE(replay(code::setBaudRate, little32({115200})));
    EXPECT_EQ(readLineSettings(pty.master).outputSpeed, 115200u);
    EXPECT_TRUE(replay(code::setBaudRate, little32({12345})));
    EXPECT_EQ(readLineSettings(pty.master).outputSpeed, 12345u);
    EXPECT_EQ(readLineSettings(pty.master).inputSpeed, 12345u);

    EXPECT_TRUE(replay(code::setLineControl, {2, 1, 8}));  // two stop bits, odd parity
    LineSettings line = readLineSettings(pty.master);
    EXPECT_TRUE(line.cflag & CSTOPB);
    EXPECT_TRUE(line.cflag & PARODD);  // a pty keeps PARODD but drops PARENB
    EXPECT_TRUE(replay(code::setLineControl, {0, 0, 8}));
    EXPECT_FALSE(readLineSettings(pty.master).cflag & CSTOPB);

    EXPECT_TRUE(replay(code::setHandflow, little32({0x09, 0x43, 10, 10})));
    line = readLineSettings(pty.master);
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

TEST_F(SerialPortOnPty, ModemLineAndLineStateRequestsAreAcceptedOnAPty) {
    namespace code = server::code;
    for (uint32_t request : {code::setDtr, code::clrDtr, code::setRts, code::clrRts, code::setBreakOn,
                             code::setBreakOff, code::resetDevice, code::clearStats})
        EXPECT_TRUE(replay(request)) << std::hex << request;
    EXPECT_TRUE(replay(code::setModemControl, little32({0x03})));
    EXPECT_TRUE(replay(code::setHandflow, little32({0x00, 0x00, 0, 0})));  // DTR and RTS low
    EXPECT_TRUE(replay(code::setHandflow, little32({0x01, 0xC0, 0, 0})));  // transmit toggle
    EXPECT_TRUE(replay(code::purge, little32({0x0F})));
    EXPECT_TRUE(replay(code::setQueueSize, little32({4096, 4096})));
    EXPECT_TRUE(replay(code::setTimeouts, little32({0xFFFFFFFF, 0, 0, 0, 0})));
    EXPECT_TRUE(replay(code::setWaitMask, little32({0x01})));
    EXPECT_TRUE(replay(code::setXoff));
    EXPECT_TRUE(replay(code::setXon));
}

TEST_F(SerialPortOnPty, ImmediateCharIsSentOnTheLine) {
    EXPECT_TRUE(replay(server::code::immediateChar, {0x7E}));
    EXPECT_EQ(pty.receive(1), "\x7E");
}

TEST_F(SerialPortOnPty, RefusedRequestsLeaveTheLineAlone) {
    namespace code = server::code;
    EXPECT_FALSE(replay(code::getBaudRate));
    EXPECT_FALSE(replay(code::waitOnMask));
    EXPECT_FALSE(replay(code::setBaudRate, {0x00, 0x4B}));
    EXPECT_FALSE(replay(code::setBaudRate, little32({0})));
    EXPECT_FALSE(replay(code::setLineControl, {1, 0, 8}));
    EXPECT_FALSE(replay(0x1B00A0));
    EXPECT_EQ(readLineSettings(pty.master).outputSpeed, 9600u);
}

TEST_F(SerialPortOnPty, CloseReleasesTheLineForTheNextOpener) {
    port.close();
    EXPECT_FALSE(port.isOpen());
    port.close();
    server::SerialPort next(4096);
    next.device = pty.slavePath;
    EXPECT_EQ(next.open(0), 0);
}

}  // namespace
