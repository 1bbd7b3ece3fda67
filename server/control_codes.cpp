#include "server/control_codes.h"

#include <cstdio>

#include "net/byte_order.h"
#include "net/rfc2217.h"

namespace server {

using net::readLittle32;

namespace {

const ControlCodeInfo controlCodes[] = {
    {code::setBaudRate, 4, 0, "SET_BAUD_RATE"},
    {code::setQueueSize, 8, 0, "SET_QUEUE_SIZE"},
    {code::setLineControl, 3, 0, "SET_LINE_CONTROL"},
    {code::setBreakOn, 0, 0, "SET_BREAK_ON"},
    {code::setBreakOff, 0, 0, "SET_BREAK_OFF"},
    {code::immediateChar, 1, 0, "IMMEDIATE_CHAR"},
    {code::setTimeouts, 20, 0, "SET_TIMEOUTS"},
    {code::getTimeouts, 0, 20, "GET_TIMEOUTS"},
    {code::setDtr, 0, 0, "SET_DTR"},
    {code::clrDtr, 0, 0, "CLR_DTR"},
    {code::resetDevice, 0, 0, "RESET_DEVICE"},
    {code::setRts, 0, 0, "SET_RTS"},
    {code::clrRts, 0, 0, "CLR_RTS"},
    {code::setXoff, 0, 0, "SET_XOFF"},
    {code::setXon, 0, 0, "SET_XON"},
    {code::getWaitMask, 0, 4, "GET_WAIT_MASK"},
    {code::setWaitMask, 4, 0, "SET_WAIT_MASK"},
    {code::waitOnMask, 0, 4, "WAIT_ON_MASK"},
    {code::purge, 4, 0, "PURGE"},
    {code::getBaudRate, 0, 4, "GET_BAUD_RATE"},
    {code::getLineControl, 0, 3, "GET_LINE_CONTROL"},
    {code::getChars, 0, 6, "GET_CHARS"},
    {code::setChars, 6, 0, "SET_CHARS"},
    {code::getHandflow, 0, 16, "GET_HANDFLOW"},
    {code::setHandflow, 16, 0, "SET_HANDFLOW"},
    {code::getModemStatus, 0, 4, "GET_MODEMSTATUS"},
    {code::getCommStatus, 0, 20, "GET_COMMSTATUS"},
    {code::xoffCounter, 12, 0, "XOFF_COUNTER"},
    {code::getProperties, 0, 64, "GET_PROPERTIES"},
    {code::getDtrRts, 0, 4, "GET_DTRRTS"},
    {code::lsrmstInsert, 1, 0, "LSRMST_INSERT"},
    {code::configSize, 0, 4, "CONFIG_SIZE"},
    {code::getStats, 0, 24, "GET_STATS"},
    {code::clearStats, 0, 0, "CLEAR_STATS"},
    {code::getModemControl, 0, 4, "GET_MODEM_CONTROL"},
    {code::setModemControl, 4, 0, "SET_MODEM_CONTROL"},
    {code::setFifoControl, 4, 0, "SET_FIFO_CONTROL"},
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

PortRequest flowControlRequest(const unsigned char* input) {
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
        return flowControlRequest(input);
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

namespace {

void appendHex(std::string& out, const unsigned char* input, size_t length) {
    char text[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(text, sizeof text, " %02x", input[i]);
        out += text;
    }
}

}  // namespace

std::string describeRequest(uint32_t ioControlCode, const unsigned char* input, int length) {
    const ControlCodeInfo* info = findControlCode(ioControlCode);
    std::string text;
    if (info == nullptr) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(ioControlCode));
        text = code;
    } else {
        text = info->name;
    }
    const PortRequest request = decodePortRequest(ioControlCode, input, length);
    if (info != nullptr && request.refusal == Refusal::none) {
        switch (request.action) {
        case PortAction::baudRate:
            return text + " " + std::to_string(request.baudRate);
        case PortAction::lineControl: {
            static const char parities[] = "NOEMS";
            static const char* const stops[] = {"1", "1.5", "2"};
            return text + " " + std::to_string(request.line.wordLength) + parities[request.line.parity] +
                   stops[request.line.stopBits];
        }
        case PortAction::purge:
            return text + (request.purgeOutput ? " tx" : "") + (request.purgeInput ? " rx" : "");
        case PortAction::modemLines:
            if (ioControlCode != code::setModemControl) return text;
            break;
        case PortAction::breakOn:
        case PortAction::breakOff:
        case PortAction::stopOutput:
        case PortAction::startOutput:
            return text;
        default:
            break;
        }
    }
    appendHex(text, input, length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

std::string describeComPortCommand(const unsigned char* command, size_t length) {
    static const char* const names[] = {
        "SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",          "SET-STOPSIZE",
        "SET-CONTROL",         "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME",
        "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK", "PURGE-DATA"};
    if (length == 0) return "(empty)";
    unsigned which = command[0] >= net::rfc2217::serverOffset ? command[0] - net::rfc2217::serverOffset : command[0];
    std::string text;
    if (which < sizeof names / sizeof names[0]) {
        text = names[which];
    } else {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", command[0]);
        text = code;
    }
    const unsigned char* value = command + 1;
    const size_t size = length - 1;
    if (which == net::rfc2217::command::signature) return text + " " + std::string(value, value + size);
    if (which == net::rfc2217::command::setBaudRate && size == 4) {
        const uint32_t rate = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 | value[3];
        return text + " " + std::to_string(rate);
    }
    if (size == 1 && which < sizeof names / sizeof names[0]) return text + " " + std::to_string(value[0]);
    appendHex(text, value, size);
    return text;
}

}  // namespace server
