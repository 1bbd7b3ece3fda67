// One client of the RFC 2217 port: Telnet on one connection, serial data
// both ways, and com-port commands replayed on the serial port through the
// same layer as native control requests, each answered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "net/compat.h"
#include "net/protocol.h"
#include "net/rfc2217.h"
#include "net/telnet_stream.h"
#include "server/serial_port.h"

namespace server {

class Rfc2217Session : net::telnet::CommandSink, net::rfc2217::ComPortTarget {
public:
    Rfc2217Session(SerialPort& port, net::SocketHandle connection);

    // Serves the client until it leaves or its connection fails; the pump
    // from the port has ended when this returns. Throws "create thread
    // error" when the pump cannot start.
    void run();

private:
    void comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) override;
    bool replay(uint32_t ioControlCode, const unsigned char* input, int length) override;
    bool settings(net::SerialSettings& out) override;
    bool modemLines(uint8_t& lines) override;

    void pumpPortToNet();
    // Writes received serial bytes [written, upTo) to the port.
    void writeToPort(size_t upTo);
    // Sends `pending` with the lock held; false when the connection failed.
    bool sendPending();

    SerialPort& port;
    const net::SocketHandle sock;
    net::telnet::TelnetStream stream{net::telnet::TelnetStream::Role::server};
    net::rfc2217::ComPortServer commands{*this};

    // Both threads send: the lock keeps answers and data pieces whole, and
    // guards `commands` and `pending`.
    std::mutex sending;
    std::condition_variable resumed;
    std::vector<unsigned char> pending;
    std::atomic<bool> ending{false};

    // Network to port (the session thread).
    unsigned char netBuffer[net::controlBufferSize] = {};
    unsigned char dataBuffer[net::controlBufferSize] = {};
    size_t written = 0;
};

}  // namespace server
