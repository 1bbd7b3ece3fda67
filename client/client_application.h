// The client program's application object: its settings, the server, the
// virtual serial port and the session's connections, threads and buffers.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "client/rfc2217_session.h"
#include "client/virtual_port.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"
#include "shell/application.h"

namespace client {

class ClientApplication : public shell::Application {
public:
    explicit ClientApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    // On the session thread: control connection, port number, data
    // connection. Throws std::runtime_error.
    void connectToServer();

    int32_t comNumber = -1;
    char hostName[128] = "";
    // The "protocol" setting: native, or rfc2217 (one connection, Telnet).
    char protocolName[16] = "native";
    bool speaksRfc2217 = false;
    // Linux only: where the port is published, and what the pty cannot hold.
    char devicePath[512] = "";
    char lineText[16] = "";
    uint32_t serverAddress = 0;
    net::ConnectSocket controlSocket;
    net::ListenSocket listenSocket;
    uint16_t dataPortWire = 0;
    sockaddr_in dataPeer{};
    net::SocketHandle dataSocket = net::invalidSocket;
    VirtualPort device;
    Rfc2217Session rfc2217Session{device, controlSocket};
    std::thread sessionThread;
    std::thread deviceToNetThread;
    std::thread netToDeviceThread;
    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char deviceReadBuffer[net::chunkSize] = {};
    unsigned char netReadBuffer[net::chunkSize] = {};
};

}  // namespace client
