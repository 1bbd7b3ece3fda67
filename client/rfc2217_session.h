// The client's session with an RFC 2217 server: one connection, no
// connect-back. What applications write goes out IAC-escaped, what comes
// in is unescaped for them, and the port's control requests become
// com-port commands. Nothing waits for an answer.
#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "client/virtual_port.h"
#include "net/protocol.h"
#include "net/rfc2217.h"
#include "net/tcp_socket.h"
#include "net/telnet_stream.h"

namespace client {

class Rfc2217Session : net::telnet::CommandSink {
public:
    Rfc2217Session(VirtualPort& device, net::ConnectSocket& connection) : device(device), connection(connection) {}

    // Connects to the server, negotiates, starts both pumps, then forwards
    // control requests for ever. Throws "connect connect error", "create
    // thread error", "ctrl event error" or "send ioctl error".
    [[noreturn]] void run(uint32_t serverAddress, uint16_t serverPort);

private:
    // The server's answers and notifications change nothing here.
    void comPortCommand(const unsigned char*, size_t, size_t) override {}

    void pumpDeviceToNetwork();
    void pumpNetworkToDevice();
    // Commands wait until the server has agreed to COM-PORT-OPTION.
    bool sendCommands(const std::vector<unsigned char>& commands);
    // Sends `pending` with the lock held; false when the connection failed.
    bool sendPending();

    VirtualPort& device;
    net::ConnectSocket& connection;
    net::telnet::TelnetStream stream{net::telnet::TelnetStream::Role::client};
    net::rfc2217::ComPortClient commands;
    std::thread deviceToNetThread;
    std::thread netToDeviceThread;

    // Three threads send: the lock keeps every piece whole, and guards
    // `pending`, `held` and `agreed`.
    std::mutex sending;
    std::vector<unsigned char> pending;
    std::vector<unsigned char> held;
    bool agreed = false;

    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char netBuffer[net::controlBufferSize] = {};
    unsigned char dataBuffer[net::controlBufferSize] = {};
};

}  // namespace client
