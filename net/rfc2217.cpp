#include "net/rfc2217.h"

#include "net/byte_order.h"
#include "net/serial_codes.h"
#include "net/telnet_stream.h"

namespace net::rfc2217 {

namespace {

// SET-CONTROL values.
namespace control {
constexpr unsigned char noFlow = 1;
constexpr unsigned char xonXoffFlow = 2;
constexpr unsigned char hardwareFlow = 3;
constexpr unsigned char requestBreak = 4;
constexpr unsigned char breakOn = 5;
constexpr unsigned char breakOff = 6;
constexpr unsigned char requestDtr = 7;
constexpr unsigned char dtrOn = 8;
constexpr unsigned char dtrOff = 9;
constexpr unsigned char requestRts = 10;
constexpr unsigned char rtsOn = 11;
constexpr unsigned char rtsOff = 12;
constexpr unsigned char requestInboundFlow = 13;
constexpr unsigned char inboundNoFlow = 14;
constexpr unsigned char inboundXonXoff = 15;
constexpr unsigned char inboundHardware = 16;
}  // namespace control

// PURGE-DATA values: the server's receive buffer (from the line), its
// transmit buffer (to the line), both.
constexpr unsigned char purgeReceive = 1;
constexpr unsigned char purgeTransmit = 2;
constexpr unsigned char purgeBoth = 3;

const char signatureText[] = "morvane";

// SET-STOPSIZE for each driver encoding (one, one and a half, two): the
// command says 1 for one, 2 for two, 3 for one and a half.
const unsigned char stopSizeOf[3] = {1, 3, 2};

unsigned char outboundFlow(const FlowSettings& flow) {
    if (flow.ctsRts) return control::hardwareFlow;
    return flow.xonXoffOutput ? control::xonXoffFlow : control::noFlow;
}

unsigned char inboundFlowOf(const FlowSettings& flow) {
    if (flow.ctsRts) return control::inboundHardware;
    return flow.xonXoffInput ? control::inboundXonXoff : control::inboundNoFlow;
}

void appendControl(std::vector<unsigned char>& out, unsigned char value) {
    telnet::TelnetStream::appendCommand(out, command::setControl, &value, 1);
}

}  // namespace

const SerialSettings& ComPortServer::current() {
    SerialSettings read;
    if (port.settings(read)) known = read;
    return known;
}

// `which` is the client's number: the wire carries ours.
void ComPortServer::answer(unsigned char which, const unsigned char* value, size_t length,
                           std::vector<unsigned char>& out) {
    telnet::TelnetStream::appendCommand(out, static_cast<unsigned char>(which + serverOffset), value, length);
}

void ComPortServer::answer(unsigned char which, unsigned char value, std::vector<unsigned char>& out) {
    answer(which, &value, 1, out);
}

bool ComPortServer::replayIf(bool wanted, uint32_t ioControlCode, const unsigned char* input, int length) {
    return wanted && port.replay(ioControlCode, input, length);
}

void ComPortServer::replayLine(const LineFormat& line) {
    const unsigned char input[3] = {line.stopBits, line.parity, line.wordLength};
    port.replay(code::setLineControl, input, sizeof input);
}

// Flow control goes through SET_HANDFLOW, which also sets DTR and RTS: it
// carries the levels they have now.
void ComPortServer::replayFlow(const FlowSettings& flow) {
    unsigned char input[handflow::size];
    encodeHandflow(flow, dtr, rts, input);
    port.replay(code::setHandflow, input, sizeof input);
}

void ComPortServer::setControl(unsigned char value, std::vector<unsigned char>& out) {
    switch (value) {
    case control::noFlow:
    case control::xonXoffFlow:
    case control::hardwareFlow:
        replayFlow({value == control::hardwareFlow, value == control::xonXoffFlow, value == control::xonXoffFlow});
        break;
    case control::requestBreak:
    case control::breakOn:
    case control::breakOff:
        if (replayIf(value == control::breakOn, code::setBreakOn)) breakOn = true;
        if (replayIf(value == control::breakOff, code::setBreakOff)) breakOn = false;
        return answer(command::setControl, breakOn ? control::breakOn : control::breakOff, out);
    case control::requestDtr:
    case control::dtrOn:
    case control::dtrOff:
        if (replayIf(value == control::dtrOn, code::setDtr)) dtr = true;
        if (replayIf(value == control::dtrOff, code::clrDtr)) dtr = false;
        return answer(command::setControl, dtr ? control::dtrOn : control::dtrOff, out);
    case control::requestRts:
    case control::rtsOn:
    case control::rtsOff:
        if (replayIf(value == control::rtsOn, code::setRts)) rts = true;
        if (replayIf(value == control::rtsOff, code::clrRts)) rts = false;
        return answer(command::setControl, rts ? control::rtsOn : control::rtsOff, out);
    case control::requestInboundFlow:
    case control::inboundNoFlow:
    case control::inboundXonXoff:
    case control::inboundHardware: {
        if (value != control::requestInboundFlow) {
            const FlowSettings now = current().flow;
            replayFlow({value == control::inboundHardware || (value == control::inboundXonXoff && now.ctsRts),
                        now.xonXoffOutput, value == control::inboundXonXoff});
        }
        return answer(command::setControl, inboundFlowOf(current().flow), out);
    }
    default:
        // The request, and flow control by DCD, DTR or DSR, which a tty
        // does not have: the outbound flow control in effect.
        break;
    }
    answer(command::setControl, outboundFlow(current().flow), out);
}

void ComPortServer::execute(const unsigned char* command, size_t length, std::vector<unsigned char>& out) {
    if (length == 0) return;
    const unsigned char which = command[0];
    const unsigned char* value = command + 1;
    const size_t size = length - 1;
    // A poll of the modem state, a request for our signature and the flow
    // control of what we send come without a value; any other command
    // without one is dropped.
    if (size == 0 && which != command::signature && which != command::notifyModemState &&
        which != command::flowControlSuspend && which != command::flowControlResume)
        return;
    switch (which) {
    case command::signature:
        // A client's own signature needs no answer; an empty one asks for ours.
        if (size == 0)
            answer(which, reinterpret_cast<const unsigned char*>(signatureText), sizeof signatureText - 1, out);
        return;
    case command::setBaudRate: {
        if (size < 4) return;
        const uint32_t rate = readBig32(value);
        unsigned char bytes[4];
        putLittle32(bytes, rate);
        replayIf(rate != 0, code::setBaudRate, bytes, sizeof bytes);
        putBig32(bytes, current().baudRate);
        return answer(which, bytes, sizeof bytes, out);
    }
    case command::setDataSize:
        if (value[0] >= 5 && value[0] <= 8) {
            LineFormat line = current().line;
            line.wordLength = value[0];
            replayLine(line);
        }
        return answer(which, current().line.wordLength, out);
    case command::setParity:
        // The command counts NONE, ODD, EVEN, MARK, SPACE from 1 (0 asks);
        // the driver's values are the same order from 0.
        if (value[0] >= 1 && value[0] <= 5) {
            LineFormat line = current().line;
            line.parity = static_cast<uint8_t>(value[0] - 1);
            replayLine(line);
        }
        return answer(which, static_cast<unsigned char>(current().line.parity + 1), out);
    case command::setStopSize: {
        if (value[0] >= 1 && value[0] <= 3) {
            LineFormat line = current().line;
            line.stopBits = value[0] == 1 ? stopOne : value[0] == 2 ? stopTwo : stopOneAndHalf;
            replayLine(line);
        }
        const uint8_t stopBits = current().line.stopBits;
        return answer(which, stopBits <= 2 ? stopSizeOf[stopBits] : 0, out);
    }
    case command::setControl:
        return setControl(value[0], out);
    case command::notifyModemState: {
        // A client that polls asks for the lines as they are now.
        uint8_t lines = 0;
        if (!port.modemLines(lines)) lines = 0;
        return answer(which, static_cast<unsigned char>(lines & modemStateMask), out);
    }
    case command::flowControlSuspend:
        holdBack = true;
        return;
    case command::flowControlResume:
        holdBack = false;
        return;
    case command::setLineStateMask:
        lineStateMask = value[0];
        return answer(which, lineStateMask, out);
    case command::setModemStateMask:
        modemStateMask = value[0];
        return answer(which, modemStateMask, out);
    case command::purgeData: {
        // Clear the queues but never abort: an abort would cancel the
        // server's own pending read of the port.
        uint32_t bits = 0;
        if (value[0] == purgeReceive || value[0] == purgeBoth) bits |= purge::rxClear;
        if (value[0] == purgeTransmit || value[0] == purgeBoth) bits |= purge::txClear;
        unsigned char input[4];
        putLittle32(input, bits);
        replayIf(bits != 0, code::purge, input, sizeof input);
        return answer(which, value[0], out);
    }
    default:
        // NOTIFY-LINESTATE is the server's to send; unknown commands have no
        // answer a client could wait for.
        return;
    }
}

bool ComPortServer::waitsForData(const unsigned char* command, size_t length) {
    if (length < 2) return false;
    switch (command[0]) {
    case command::setBaudRate:
    case command::setDataSize:
    case command::setParity:
    case command::setStopSize:
        return true;
    case command::setControl:
        return command[1] == control::breakOn || command[1] == control::breakOff;
    default:
        return false;
    }
}

bool ComPortServer::purgesOutput(const unsigned char* command, size_t length) {
    return length >= 2 && command[0] == command::purgeData &&
           (command[1] == purgeTransmit || command[1] == purgeBoth);
}

void ComPortServer::announceModemState(std::vector<unsigned char>& out) {
    uint8_t lines = 0;
    if (!port.modemLines(lines)) {
        withoutModemLines = true;
        lines = 0;
    }
    lines &= modemCts | modemDsr | modemRi | modemCd;
    lastModemLines = lines;
    answer(command::notifyModemState, static_cast<unsigned char>(lines & modemStateMask), out);
}

void ComPortServer::pollModemLines(std::vector<unsigned char>& out) {
    uint8_t lines = 0;
    // A port without modem lines will not grow them: ask once.
    if (withoutModemLines) return;
    if (!port.modemLines(lines)) {
        withoutModemLines = true;
        return;
    }
    lines &= modemCts | modemDsr | modemRi | modemCd;
    const bool first = lastModemLines < 0;
    const auto changed = static_cast<uint8_t>(first ? 0 : lines ^ lastModemLines);
    if (!first && changed == 0) return;
    lastModemLines = lines;
    // Each line's change bit sits four bits below it; RI reports its trailing edge.
    auto deltas = static_cast<uint8_t>(changed >> 4);
    if (lines & modemRi) deltas &= static_cast<uint8_t>(~(modemRi >> 4));
    const auto value = static_cast<uint8_t>((lines | deltas) & modemStateMask);
    if (!first && (changed & modemStateMask) == 0 && (deltas & modemStateMask) == 0) return;
    answer(command::notifyModemState, value, out);
}

bool ComPortClient::translateLine(const unsigned char* input, std::vector<unsigned char>& out) {
    const unsigned char stopBits = input[0];
    const unsigned char lineParity = input[1];
    const unsigned char wordLength = input[2];
    if (stopBits > 2 || lineParity > 4 || wordLength < 5 || wordLength > 8) return false;
    const unsigned char wanted[3] = {wordLength, static_cast<unsigned char>(lineParity + 1), stopSizeOf[stopBits]};
    unsigned char* sent[3] = {&dataSize, &parity, &stopSize};
    const unsigned char commands[3] = {command::setDataSize, command::setParity, command::setStopSize};
    for (int i = 0; i < 3; ++i) {
        if (*sent[i] == wanted[i]) continue;
        telnet::TelnetStream::appendCommand(out, commands[i], &wanted[i], 1);
        *sent[i] = wanted[i];
    }
    return true;
}

// The outbound value sets both directions; inbound follows only where the
// two differ.
void ComPortClient::translateFlow(const unsigned char* input, std::vector<unsigned char>& out) {
    const FlowSettings asked = decodeHandflow(input);
    const unsigned char outbound = outboundFlow(asked);
    const unsigned char inbound = inboundFlowOf(asked);
    if (outbound != flow) {
        appendControl(out, outbound);
        flow = outbound;
        // Alone it set inbound to the same mode: the inbound values (14-16)
        // list the outbound ones' modes (1-3) in order, 13 higher.
        inboundFlow = static_cast<unsigned char>(outbound + control::requestInboundFlow);
    }
    if (inbound != inboundFlow) {
        appendControl(out, inbound);
        inboundFlow = inbound;
    }
}

bool ComPortClient::translate(const ControlRequest& request, std::vector<unsigned char>& out) {
    const unsigned char* input = request.input;
    switch (request.ioControlCode) {
    case code::setBaudRate: {
        // A rate of 0 would be a query.
        if (request.inputLength < 4 || readLittle32(input) == 0) return false;
        unsigned char rate[4];
        putBig32(rate, readLittle32(input));
        telnet::TelnetStream::appendCommand(out, command::setBaudRate, rate, sizeof rate);
        return true;
    }
    case code::setLineControl:
        return request.inputLength >= 3 && translateLine(input, out);
    case code::setHandflow:
        if (request.inputLength < 16) return false;
        translateFlow(input, out);
        return true;
    case code::setBreakOn:
        appendControl(out, control::breakOn);
        return true;
    case code::setBreakOff:
        appendControl(out, control::breakOff);
        return true;
    case code::setDtr:
    case code::clrDtr:
        appendControl(out, request.ioControlCode == code::setDtr ? control::dtrOn : control::dtrOff);
        return true;
    case code::setRts:
    case code::clrRts:
        appendControl(out, request.ioControlCode == code::setRts ? control::rtsOn : control::rtsOff);
        return true;
    case code::setModemControl: {
        if (request.inputLength < 4) return false;
        const uint32_t lines = readLittle32(input);
        appendControl(out, (lines & 0x01) ? control::dtrOn : control::dtrOff);
        appendControl(out, (lines & 0x02) ? control::rtsOn : control::rtsOff);
        return true;
    }
    case code::purge: {
        if (request.inputLength < 4) return false;
        const uint32_t bits = readLittle32(input);
        const auto which =
            static_cast<unsigned char>(((bits & purge::receive) ? purgeReceive : 0) |
                                       ((bits & purge::transmit) ? purgeTransmit : 0));
        if (which == 0) return false;
        telnet::TelnetStream::appendCommand(out, command::purgeData, &which, 1);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace net::rfc2217
