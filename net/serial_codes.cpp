#include "net/serial_codes.h"

#include "net/byte_order.h"

namespace net {

void encodeHandflow(const FlowSettings& flow, bool dtr, bool rts, unsigned char out[handflow::size]) {
    using namespace handflow;
    putLittle32(out, (dtr ? dtrControl : 0) | (flow.ctsRts ? ctsHandshake : 0));
    putLittle32(out + 4, (flow.xonXoffOutput ? autoTransmit : 0) | (flow.xonXoffInput ? autoReceive : 0) |
                             (flow.ctsRts ? rtsHandshake : rts ? rtsControl : 0));
    putLittle32(out + 8, xonLimit);
    putLittle32(out + 12, xoffLimit);
}

FlowSettings decodeHandflow(const unsigned char input[handflow::size]) {
    using namespace handflow;
    const uint32_t controlHandShake = readLittle32(input);
    const uint32_t flowReplace = readLittle32(input + 4);
    FlowSettings flow;
    flow.ctsRts = (controlHandShake & ctsHandshake) != 0 || (flowReplace & rtsMask) == rtsHandshake;
    flow.xonXoffOutput = (flowReplace & autoTransmit) != 0;
    flow.xonXoffInput = (flowReplace & autoReceive) != 0;
    return flow;
}

}  // namespace net
