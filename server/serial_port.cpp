#include "server/serial_port.h"

namespace server {

int16_t SerialPort::open(int32_t portNumber, uint32_t baudRate, uint16_t parity, uint16_t byteSize,
                         uint16_t stopBits) {
    int16_t opened = open(portNumber);
    if (opened < 0) return -1;
    if (setLine(baudRate, parity, byteSize, stopBits) < 0) {
        openFailure = name() + ": the start-up line settings were refused";
        close();
        return -1;
    }
    return opened;
}

}  // namespace server
