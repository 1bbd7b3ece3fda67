// What the COM port holds now, for RFC 2217 answers.
#include "server/serial_port.h"

namespace server {

bool SerialPort::readSettings(net::SerialSettings& out) const {
    DCB state{};
    state.DCBlength = sizeof state;
    if (handle == nullptr || !GetCommState(handle, &state)) return false;
    out.baudRate = state.BaudRate;
    out.wordLength = state.ByteSize;
    out.parity = state.Parity;
    out.stopBits = state.StopBits;
    out.ctsRts = state.fOutxCtsFlow || state.fRtsControl == RTS_CONTROL_HANDSHAKE;
    out.xonXoffOutput = state.fOutX;
    out.xonXoffInput = state.fInX;
    return true;
}

bool SerialPort::readModemLines(uint8_t& lines) const {
    DWORD status = 0;
    if (handle == nullptr || !GetCommModemStatus(handle, &status)) return false;
    lines = static_cast<uint8_t>(((status & MS_CTS_ON) ? net::modemCts : 0) | ((status & MS_DSR_ON) ? net::modemDsr : 0) |
                                 ((status & MS_RING_ON) ? net::modemRi : 0) |
                                 ((status & MS_RLSD_ON) ? net::modemCd : 0));
    return true;
}

}  // namespace server
