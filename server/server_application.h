// The server program's application object: its settings, the listening
// socket, the serial port, and the sessions that share the port with one
// client after another.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "net/compat.h"
#include "net/net_event.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"
#include "server/serial_port.h"
#include "shell/application.h"

namespace server {

class ServerApplication : public shell::Application {
public:
    explicit ServerApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    // Session thread (session.cpp). runSessions serves clients for ever and
    // ends the process on the first error; serveSession serves one.
    void runSessions();
    void serveSession();
    // Returns when both connections of a new session stand; clients that
    // fail the set-up are dropped and the next one is accepted.
    void acceptClient();
    void startPumps();
    // Replays control requests until the control connection ends, then
    // shuts the data connection down.
    void runControlLoop();
    // Waits for the pumps, then releases both connections.
    void endSession();
    void pumpComToNet();
    void pumpNetToCom();
    // Waits for the next client on either listener; serves it when it came
    // to the RFC 2217 port (rfc2217_listener.cpp). False: a native client waits.
    bool serveRfc2217Client();

    int32_t comPort = -1;
    char clientHost[128] = "";
    uint16_t dataPort = 0;
    uint32_t listenAddress = 0;
    net::ListenSocket listenSocket;
    // The "rfc2217" setting; 0: no RFC 2217 listener.
    uint16_t rfc2217Port = 0;
    net::ListenSocket rfc2217Socket;
    net::SocketHandle controlSocket = net::invalidSocket;
    sockaddr_in peerAddress{};
    uint32_t clientAddress = 0;
    net::ConnectSocket dataSocket;
    SerialPort serialPort{portQueueSize};
    std::thread comToNetThread;
    std::thread netToComThread;
    // The network-to-COM pump's readiness event, kept here so that the end
    // of its session can wake it: on Windows the shutdown alone does not.
    std::optional<net::NetEvent> dataReadiness;
    std::atomic<bool> dataReadinessSelected{false};
    std::atomic<bool> sessionEnding{false};
    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char comReadBuffer[net::chunkSize] = {};
    unsigned char netReadBuffer[net::chunkSize] = {};
    // Bytes in comReadBuffer that a session read from the port but could no
    // longer send; the next session sends them first.
    int unsentLength = 0;

private:
    bool receiveHandshake();
};

// Receives `count` bytes, waiting on `readiness` whenever none are pending.
// Returns fewer when the connection closes first; throws "ioctl read error"
// when a receive fails.
int receiveExact(net::NetEvent& readiness, net::SocketHandle sock, unsigned char* buffer, int count);

}  // namespace server
