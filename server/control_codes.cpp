#include "server/control_codes.h"

#include "net/little_endian.h"

namespace server {

using net::readLittle32;

namespace {

const ControlCodeInfo controlCodes[] = {
    {code::setBaudRate, 4, 0},
    {code::setQueueSize, 8, 0},
    {code::setLineControl, 3, 0},
    {code::setBreakOn, 0, 0},
    {code::setBreakOff, 0, 0},
    {code::immediateChar, 1, 0},
    {code::setTimeouts, 20, 0},
    {code::getTimeouts, 0, 20},
    {code::setDtr, 0, 0},
    {code::clrDtr, 0, 0},
    {code::resetDevice, 0, 0},
    {code::setRts, 0, 0},
    {code::clrRts, 0, 0},
    {code::setXoff, 0, 0},
    {code::setXon, 0, 0},
    {code::getWaitMask, 0, 4},
    {code::setWaitMask, 4, 0},
    {code::waitOnMask, 0, 4},
    {code::purge, 4, 0},
    {code::getBaudRate, 0, 4},
    {code::getLineControl, 0, 3},
    {code::getChars, 0, 6},
    {code::setChars, 6, 0},
    {code::getHandflow, 0, 16},
    {code::setHandflow, 16, 0},
    {code::getModemStatus, 0, 4},
    {code::getCommStatus, 0, 20},
    {code::xoffCounter, 12, 0},
    {code::getProperties, 0, 64},
    {code::getDtrRts, 0, 4},
    {code::lsrmstInsert, 1, 0},
    {code::configSize, 0, 4},
    {code::getStats, 0, 24},
    {code::clearStats, 0, 0},
    {code::getModemControl, 0, 4},
    {code::setModemControl, 4, 0},
    {code::setFifoControl, 4, 0},
};

constexpr uint32_t waitMaskValid = 0x1FFF;
constexpr uint32_t noTimeout = 0xFFFFFFFF;
constexpr uint8_t modemLinesAll = lineDtr | lineRts | lineOut1 | lineOut2 | lineLoop;

PortRequest refused(Refusal why) {
    PortRequest request;
    request.refusal = why;
    return request;
}

PortRequest acting(PortAction action) {
    PortRequest request;
    request.action = action;
    return request;
}

PortRequest changeLines(uint8_t raise, uint8_t lower) {
    PortRequest request = acting(PortAction::modemLines);
    request.lines.raise = raise;
    request.lines.lower = lower;
    return request;
}

PortRequest decodeHandflow(const unsigned char* input) {
    using namespace net::handflow;
    uint32_t controlHandShake = readLittle32(input);
    uint32_t flowReplace = readLittle32(input + 4);
    auto xonLimit = static_cast<int32_t>(readLittle32(input + 8));
    auto xoffLimit = static_cast<int32_t>(readLittle32(input + 12));
    if ((controlHandShake & controlInvalid) != 0 || (controlHandShake & dtrMask) == dtrMask ||
        (flowReplace & flowInvalid) != 0 || xonLimit < 0 || xoffLimit < 0)
        return refused(Refusal::invalidParameter);

    PortRequest request = acting(PortAction::flowControl);
    FlowControl& flow = request.flow;
    static_cast<net::FlowSettings&>(flow) = net::decodeHandflow(input);
    uint32_t rts = flowReplace & rtsMask;
    flow.rtsToggle = rts == rtsMask;
    // DTR handshake has no tty equivalent: the line stays up.
    if ((controlHandShake & dtrMask) == 0)
        flow.lines.lower |= lineDtr;
    else
        flow.lines.raise |= lineDtr;
    if (rts == 0)
        flow.lines.lower |= lineRts;
    else if (rts == rtsControl)
        flow.lines.raise |= lineRts;
    return request;
}

}  // namespace

const ControlCodeInfo* findControlCode(uint32_t ioControlCode) {
    for (const ControlCodeInfo& info : controlCodes)
        if (info.code == ioControlCode) return &info;
    return nullptr;
}

PortRequest decodePortRequest(uint32_t ioControlCode, const unsigned char* input, int length) {
    const ControlCodeInfo* info = findControlCode(ioControlCode);
    if (info == nullptr) return refused(Refusal::invalidParameter);
    if (info->outputSize != 0 || length < info->inputSize) return refused(Refusal::insufficientBuffer);

    switch (ioControlCode) {
    case code::setBaudRate: {
        PortRequest request = acting(PortAction::baudRate);
        request.baudRate = readLittle32(input);
        if (request.baudRate == 0) return refused(Refusal::invalidParameter);
        return request;
    }
    case code::setLineControl: {
        PortRequest request = acting(PortAction::lineControl);
        request.line = net::LineFormat{input[0], input[1], input[2]};
        if (!net::validLineFormat(request.line)) return refused(Refusal::invalidParameter);
        return request;
    }
    case code::setBreakOn:
        return acting(PortAction::breakOn);
    case code::setBreakOff:
        return acting(PortAction::breakOff);
    case code::immediateChar: {
        PortRequest request = acting(PortAction::immediateChar);
        request.character = input[0];
        return request;
    }
    case code::setTimeouts:
        // The server's own reads keep their time-outs; only the value is checked.
        if (readLittle32(input) == noTimeout && readLittle32(input + 4) == noTimeout &&
            readLittle32(input + 8) == noTimeout)
            return refused(Refusal::invalidParameter);
        return acting(PortAction::none);
    case code::setDtr:
        return changeLines(lineDtr, 0);
    case code::clrDtr:
        return changeLines(0, lineDtr);
    case code::setRts:
        return changeLines(lineRts, 0);
    case code::clrRts:
        return changeLines(0, lineRts);
    case code::setXoff:
        return acting(PortAction::stopOutput);
    case code::setXon:
        return acting(PortAction::startOutput);
    case code::setWaitMask:
        if ((readLittle32(input) & ~waitMaskValid) != 0) return refused(Refusal::invalidParameter);
        return acting(PortAction::none);
    case code::purge: {
        uint32_t bits = readLittle32(input);
        if (bits == 0 || (bits & ~(net::purge::transmit | net::purge::receive)) != 0)
            return refused(Refusal::invalidParameter);
        PortRequest request = acting(PortAction::purge);
        request.purgeOutput = (bits & net::purge::transmit) != 0;
        request.purgeInput = (bits & net::purge::receive) != 0;
        return request;
    }
    case code::setChars: {
        PortRequest request = acting(PortAction::flowChars);
        request.xonChar = input[4];
        request.xoffChar = input[5];
        return request;
    }
    case code::setHandflow:
        return decodeHandflow(input);
    case code::xoffCounter:
        return refused(Refusal::invalidParameter);
    case code::lsrmstInsert:
        return input[0] == 0 ? acting(PortAction::none) : refused(Refusal::invalidParameter);
    case code::setModemControl: {
        auto raise = static_cast<uint8_t>(readLittle32(input) & modemLinesAll);
        return changeLines(raise, static_cast<uint8_t>(modemLinesAll & ~raise));
    }
    default:
        // SET_QUEUE_SIZE, RESET_DEVICE, CLEAR_STATS, SET_FIFO_CONTROL: nothing
        // a tty can be told.
        return acting(PortAction::none);
    }
}

bool waitsForData(uint32_t ioControlCode) {
    switch (ioControlCode) {
    case code::setBaudRate:
    case code::setLineControl:
    case code::setChars:
    case code::setBreakOn:
    case code::setBreakOff:
        return true;
    default:
        return false;
    }
}

const char* refusalText(uint32_t ioControlCode, const unsigned char* input, int length) {
    const ControlCodeInfo* info = findControlCode(ioControlCode);
    if (info == nullptr) return "unknown code";
    if (info->outputSize != 0) return "it returns data";
    switch (decodePortRequest(ioControlCode, input, length).refusal) {
    case Refusal::insufficientBuffer: return "input too short";
    case Refusal::invalidParameter: return "invalid value";
    default: return nullptr;
    }
}

}  // namespace server
