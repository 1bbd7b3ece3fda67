#include "server/serial_port.h"

namespace server {

bool SerialPort::open(int32_t portNumber, uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits) {
    if (!open(portNumber)) return false;
    if (setLine(baudRate, parity, byteSize, stopBits)) return true;
    openFailure = name() + ": the start-up line settings were refused";
    close();
    return false;
}

}  // namespace server
