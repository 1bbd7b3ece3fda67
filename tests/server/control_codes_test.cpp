#include "server/control_codes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using server::PortRequest;
using server::Refusal;
namespace code = server::code;

using Bytes = std::vector<unsigned char>;

Bytes little32(std::initializer_list<uint32_t> values) {
    Bytes bytes;
    for (uint32_t value : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    return bytes;
}

PortRequest decode(uint32_t ioControlCode, const Bytes& input) {
    return server::decodePortRequest(ioControlCode, input.data(), static_cast<int>(input.size()));
}

PortRequest handflow(uint32_t handShake, uint32_t flowReplace, uint32_t xonLimit = 100, uint32_t xoffLimit = 100) {
    return decode(code::setHandflow, little32({handShake, flowReplace, xonLimit, xoffLimit}));
}

// What the end-to-end tests cannot send through a client: short or unknown
// requests, and values a COM driver refuses.
TEST(ControlCodes, RefusedAsACommDriverRefuses) {
    struct Case { uint32_t code; Bytes input; Refusal refusal; };
    const Case cases[] = {
        // An input one byte short is too small (requests with an output
        // buffer: server_e2e_test.py).
        {code::setBaudRate, {0x80, 0x25, 0x00}, Refusal::insufficientBuffer},
        {code::setHandflow, Bytes(15), Refusal::insufficientBuffer},
        {code::setTimeouts, Bytes(19), Refusal::insufficientBuffer},
        {code::immediateChar, {}, Refusal::insufficientBuffer},
        {0x1B00A0, Bytes(16), Refusal::invalidParameter},
        {code::xoffCounter, Bytes(12), Refusal::invalidParameter},
        {code::setBaudRate, little32({0}), Refusal::invalidParameter},
        {code::purge, little32({0}), Refusal::invalidParameter},
        {code::purge, little32({0x10}), Refusal::invalidParameter},
        {code::setWaitMask, little32({0x2000}), Refusal::invalidParameter},
        {code::setWaitMask, little32({0x1FFF}), Refusal::none},
        {code::setTimeouts, little32({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0}), Refusal::invalidParameter},
        {code::setTimeouts, little32({0xFFFFFFFF, 0, 0, 10, 500}), Refusal::none},
        {code::lsrmstInsert, {0xFF}, Refusal::invalidParameter},
        {code::lsrmstInsert, {0}, Refusal::none},
        // Stop bits, parity, data bits: a UART frames 5 to 8 bits, one and a
        // half stop bits with 5 only, two with the others.
        {code::setLineControl, {1, 0, 8}, Refusal::invalidParameter},
        {code::setLineControl, {2, 0, 5}, Refusal::invalidParameter},
        {code::setLineControl, {3, 0, 8}, Refusal::invalidParameter},
        {code::setLineControl, {0, 5, 8}, Refusal::invalidParameter},
        {code::setLineControl, {0, 0, 4}, Refusal::invalidParameter},
        {code::setLineControl, {0, 0, 9}, Refusal::invalidParameter},
        {code::setLineControl, {1, 1, 5}, Refusal::none},
        {code::setLineControl, {2, 4, 8}, Refusal::none},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c.code, c.input).refusal, c.refusal) << std::hex << c.code;
}

// The modem lines, which a pty has not.
TEST(ControlCodes, ModemLinesOfModemControlAndHandflow) {
    PortRequest control = decode(code::setModemControl, little32({0x0B}));
    EXPECT_EQ(control.lines.raise, server::lineDtr | server::lineRts | server::lineOut2);
    EXPECT_EQ(control.lines.lower, server::lineOut1 | server::lineLoop);
    EXPECT_EQ(decode(code::clrRts, {}).lines.lower, server::lineRts);

    EXPECT_EQ(handflow(0x01, 0x40).flow.lines.raise, server::lineDtr | server::lineRts);
    EXPECT_EQ(handflow(0x00, 0x00).flow.lines.lower, server::lineDtr | server::lineRts);
    // A DTR handshake keeps DTR up; an RTS handshake (RTS/CTS) or transmit
    // toggle leaves RTS to the driver.
    for (PortRequest leftToDriver : {handflow(0x02, 0x80), handflow(0x02, 0xC0)}) {
        EXPECT_EQ(leftToDriver.flow.lines.raise, server::lineDtr);
        EXPECT_EQ(leftToDriver.flow.lines.lower, 0);
    }
    EXPECT_TRUE(handflow(0x02, 0x80).flow.ctsRts);
    EXPECT_TRUE(handflow(0x02, 0xC0).flow.rtsToggle);

    // Flags without a tty equivalent are kept quietly; invalid bits and
    // negative limits are refused.
    EXPECT_EQ(handflow(0x80000071, 0x8000001D).refusal, Refusal::none);
    for (PortRequest bad : {handflow(0x03, 0), handflow(0x04, 0), handflow(0x01, 0x20),
                            handflow(0x01, 0x40, 0xFFFFFFFF, 10), handflow(0x01, 0x40, 10, 0x80000000)})
        EXPECT_EQ(bad.refusal, Refusal::invalidParameter);
}

}  // namespace

// The trace's words for what the end-to-end trace test does not send.
TEST(ControlCodes, RequestsAndComPortCommandsInWords) {
    const std::pair<std::string, std::string> requests[] = {
        {server::describeRequest(code::setLineControl, Bytes{1, 1, 5}.data(), 3), "SET_LINE_CONTROL 5O1.5"},
        {server::describeRequest(code::setLineControl, Bytes{2, 4, 7}.data(), 3), "SET_LINE_CONTROL 7S2"},
        {server::describeRequest(code::purge, little32({0x0F}).data(), 4), "PURGE tx rx"},
        {server::describeRequest(code::setBreakOn, nullptr, 0), "SET_BREAK_ON"},
        {server::describeRequest(code::setModemControl, little32({3}).data(), 4), "SET_MODEM_CONTROL 03 00 00 00"},
        // Refused values keep their bytes.
        {server::describeRequest(code::setLineControl, Bytes{0, 0, 9}.data(), 3), "SET_LINE_CONTROL 00 00 09"},
        {server::describeRequest(0x1B2000, Bytes{0xAB}.data(), 1), "0x001B2000 ab"},
        {server::describeComPortCommand(Bytes{12, 3}.data(), 2), "PURGE-DATA 3"},
        {server::describeComPortCommand(Bytes{101, 0, 0, 0x25, 0x80}.data(), 5), "SET-BAUDRATE 9600"},
        {server::describeComPortCommand(Bytes{0, 'm', 'v'}.data(), 3), "SIGNATURE mv"},
        {server::describeComPortCommand(Bytes{42, 1}.data(), 2), "0x2A 01"},
    };
    for (const auto& [described, expected] : requests) EXPECT_EQ(described, expected);
}
