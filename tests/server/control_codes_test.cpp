#include "server/control_codes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using server::PortAction;
using server::PortRequest;
using server::Refusal;

std::vector<unsigned char> little32(std::initializer_list<uint32_t> values) {
    std::vector<unsigned char> bytes;
    for (uint32_t value : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    return bytes;
}

PortRequest decode(uint32_t code, const std::vector<unsigned char>& input) {
    return server::decodePortRequest(code, input.data(), static_cast<int>(input.size()));
}

PortRequest handflow(uint32_t controlHandShake, uint32_t flowReplace, uint32_t xonLimit = 100,
                     uint32_t xoffLimit = 100) {
    return decode(server::code::setHandflow, little32({controlHandShake, flowReplace, xonLimit, xoffLimit}));
}

TEST(ControlCodes, RequestsThatNeedAnOutputBufferOrMoreInputAreTooSmall) {
    namespace code = server::code;
    for (uint32_t getter : {code::getTimeouts, code::getWaitMask, code::waitOnMask, code::getBaudRate,
                            code::getLineControl, code::getChars, code::getHandflow, code::getModemStatus,
                            code::getCommStatus, code::getProperties, code::getDtrRts, code::configSize,
                            code::getStats, code::getModemControl}) {
        EXPECT_EQ(decode(getter, {}).refusal, Refusal::insufficientBuffer) << std::hex << getter;
        EXPECT_EQ(decode(getter, std::vector<unsigned char>(64)).refusal, Refusal::insufficientBuffer);
    }
    EXPECT_EQ(decode(code::setBaudRate, {0x80, 0x25, 0x00}).refusal, Refusal::insufficientBuffer);
    EXPECT_EQ(decode(code::setHandflow, std::vector<unsigned char>(15)).refusal, Refusal::insufficientBuffer);
    EXPECT_EQ(decode(code::setTimeouts, std::vector<unsigned char>(19)).refusal, Refusal::insufficientBuffer);
    EXPECT_EQ(decode(code::immediateChar, {}).refusal, Refusal::insufficientBuffer);
}

TEST(ControlCodes, UnknownCodesAndCodesWithoutEquivalentAreInvalid) {
    for (uint32_t unknown : {0u, 0x1B0000u, 0x1B0084u, 0x1B00A0u, 0x2D0004u, 0xFFFFFFFFu})
        EXPECT_EQ(decode(unknown, std::vector<unsigned char>(16)).refusal, Refusal::invalidParameter) << unknown;
    EXPECT_EQ(decode(server::code::xoffCounter, std::vector<unsigned char>(12)).refusal, Refusal::invalidParameter);
    EXPECT_EQ(server::findControlCode(0x1B00A0), nullptr);
    ASSERT_NE(server::findControlCode(server::code::setHandflow), nullptr);
    EXPECT_EQ(server::findControlCode(server::code::setHandflow)->inputSize, 16);
}

TEST(ControlCodes, CodesWithoutInputTakeNoneAndIgnoreExtraBytes) {
    namespace code = server::code;
    EXPECT_EQ(decode(code::setBreakOn, {}).action, PortAction::breakOn);
    EXPECT_EQ(decode(code::setBreakOff, {1, 2, 3}).action, PortAction::breakOff);
    EXPECT_EQ(decode(code::setXoff, {}).action, PortAction::stopOutput);
    EXPECT_EQ(decode(code::setXon, {}).action, PortAction::startOutput);
    for (uint32_t accepted : {code::resetDevice, code::clearStats}) {
        PortRequest request = decode(accepted, {});
        EXPECT_EQ(request.refusal, Refusal::none);
        EXPECT_EQ(request.action, PortAction::none);
    }
}

TEST(ControlCodes, BaudRateIsLittleEndianAndNeverZero) {
    PortRequest request = decode(server::code::setBaudRate, little32({12345}));
    EXPECT_EQ(request.action, PortAction::baudRate);
    EXPECT_EQ(request.baudRate, 12345u);
    EXPECT_EQ(decode(server::code::setBaudRate, {0x00, 0xC2, 0x01, 0x00}).baudRate, 115200u);
    EXPECT_EQ(decode(server::code::setBaudRate, little32({0})).refusal, Refusal::invalidParameter);
}

TEST(ControlCodes, LineControlAcceptsWhatAUartCanFrame) {
    struct Case {
        uint8_t stopBits, parity, wordLength;
        bool valid;
    };
    const Case cases[] = {
        {0, 0, 8, true},  {2, 2, 7, true},  {0, 4, 5, true},  {1, 1, 5, true},   // one and a half: 5 bits only
        {1, 0, 8, false}, {2, 0, 5, false}, {3, 0, 8, false}, {0, 5, 8, false},  // out of range
        {0, 0, 4, false}, {0, 0, 9, false},
    };
    for (const Case& c : cases) {
        PortRequest request = decode(server::code::setLineControl, {c.stopBits, c.parity, c.wordLength});
        EXPECT_EQ(request.refusal == Refusal::none, c.valid)
            << int(c.stopBits) << "/" << int(c.parity) << "/" << int(c.wordLength);
        if (c.valid) {
            EXPECT_EQ(request.action, PortAction::lineControl);
            EXPECT_EQ(request.line.stopBits, c.stopBits);
            EXPECT_EQ(request.line.parity, c.parity);
            EXPECT_EQ(request.line.wordLength, c.wordLength);
        }
    }
}

TEST(ControlCodes, HandflowCarriesHandshakesAndLineLevels) {
    // DTR control, RTS control, no handshake.
    PortRequest plain = handflow(0x01, 0x40);
    ASSERT_EQ(plain.action, PortAction::flowControl);
    EXPECT_FALSE(plain.flow.ctsRts);
    EXPECT_EQ(plain.flow.lines.raise, server::lineDtr | server::lineRts);
    EXPECT_EQ(plain.flow.lines.lower, 0);

    // DTR off, RTS off, XON/XOFF both ways.
    PortRequest software = handflow(0x00, 0x03);
    EXPECT_TRUE(software.flow.outputXonXoff);
    EXPECT_TRUE(software.flow.inputXonXoff);
    EXPECT_EQ(software.flow.lines.lower, server::lineDtr | server::lineRts);

    // CTS handshake alone, or RTS handshake alone, both mean CRTSCTS; an RTS
    // handshake leaves RTS to the driver.
    EXPECT_TRUE(handflow(0x09, 0x40).flow.ctsRts);
    PortRequest rtsHandshake = handflow(0x01, 0x80);
    EXPECT_TRUE(rtsHandshake.flow.ctsRts);
    EXPECT_EQ(rtsHandshake.flow.lines.raise, server::lineDtr);
    EXPECT_EQ(rtsHandshake.flow.lines.lower, 0);

    // DTR handshake keeps DTR up; transmit toggle leaves RTS alone.
    PortRequest toggle = handflow(0x02, 0xC0);
    EXPECT_TRUE(toggle.flow.rtsToggle);
    EXPECT_EQ(toggle.flow.lines.raise, server::lineDtr);
    EXPECT_EQ(toggle.flow.lines.lower, 0);

    // Flags without a tty equivalent are kept quietly.
    EXPECT_EQ(handflow(0x80000071, 0x8000001D).refusal, Refusal::none);
}

TEST(ControlCodes, HandflowRejectsInvalidBitsAndNegativeLimits) {
    EXPECT_EQ(handflow(0x03, 0x00).refusal, Refusal::invalidParameter);  // DTR mask 3
    EXPECT_EQ(handflow(0x04, 0x00).refusal, Refusal::invalidParameter);
    EXPECT_EQ(handflow(0x100, 0x00).refusal, Refusal::invalidParameter);
    EXPECT_EQ(handflow(0x01, 0x20).refusal, Refusal::invalidParameter);
    EXPECT_EQ(handflow(0x01, 0x100).refusal, Refusal::invalidParameter);
    EXPECT_EQ(handflow(0x01, 0x40, 0xFFFFFFFF, 10).refusal, Refusal::invalidParameter);
    EXPECT_EQ(handflow(0x01, 0x40, 10, 0x80000000).refusal, Refusal::invalidParameter);
}

TEST(ControlCodes, ModemLineCodes) {
    namespace code = server::code;
    EXPECT_EQ(decode(code::setDtr, {}).lines.raise, server::lineDtr);
    EXPECT_EQ(decode(code::clrDtr, {}).lines.lower, server::lineDtr);
    EXPECT_EQ(decode(code::setRts, {}).lines.raise, server::lineRts);
    EXPECT_EQ(decode(code::clrRts, {}).lines.lower, server::lineRts);
    PortRequest control = decode(code::setModemControl, little32({0x0B}));
    EXPECT_EQ(control.action, PortAction::modemLines);
    EXPECT_EQ(control.lines.raise, server::lineDtr | server::lineRts | server::lineOut2);
    EXPECT_EQ(control.lines.lower, server::lineOut1 | server::lineLoop);
}

TEST(ControlCodes, ValuesCheckedAsTheDriverChecksThem) {
    namespace code = server::code;
    PortRequest purge = decode(code::purge, little32({0x0A}));
    EXPECT_EQ(purge.action, PortAction::purge);
    EXPECT_FALSE(purge.purgeOutput);
    EXPECT_TRUE(purge.purgeInput);
    PortRequest purgeTx = decode(code::purge, little32({0x01}));
    EXPECT_TRUE(purgeTx.purgeOutput);
    EXPECT_FALSE(purgeTx.purgeInput);
    EXPECT_EQ(decode(code::purge, little32({0})).refusal, Refusal::invalidParameter);
    EXPECT_EQ(decode(code::purge, little32({0x10})).refusal, Refusal::invalidParameter);

    EXPECT_EQ(decode(code::setWaitMask, little32({0x1FFF})).refusal, Refusal::none);
    EXPECT_EQ(decode(code::setWaitMask, little32({0x2000})).refusal, Refusal::invalidParameter);

    EXPECT_EQ(decode(code::setTimeouts, little32({0xFFFFFFFF, 0, 0, 10, 500})).refusal, Refusal::none);
    EXPECT_EQ(decode(code::setTimeouts, little32({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0})).refusal,
              Refusal::invalidParameter);

    EXPECT_EQ(decode(code::lsrmstInsert, {0}).refusal, Refusal::none);
    EXPECT_EQ(decode(code::lsrmstInsert, {0xFF}).refusal, Refusal::invalidParameter);

    EXPECT_EQ(decode(code::setQueueSize, little32({4096, 4096})).refusal, Refusal::none);
    EXPECT_EQ(decode(code::setFifoControl, little32({0xC7})).refusal, Refusal::none);

    PortRequest chars = decode(code::setChars, {0x1A, 0x00, 0x00, 0x7E, 0x01, 0x02});
    EXPECT_EQ(chars.action, PortAction::flowChars);
    EXPECT_EQ(chars.xonChar, 0x01);
    EXPECT_EQ(chars.xoffChar, 0x02);

    PortRequest immediate = decode(code::immediateChar, {0x55});
    EXPECT_EQ(immediate.action, PortAction::immediateChar);
    EXPECT_EQ(immediate.character, 0x55);
}

}  // namespace
