// The server program's application object: its settings, the listening
// sockets, the serial port, and the sessions that share the port with one
// client after another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/tcp_socket.h"
#include "server/allow_list.h"
#include "server/serial_port.h"
#include "server/session.h"
#include "server/trace.h"
#include "shell/application.h"

namespace server {

// Deadlines of a session's set-up: the handshake's two bytes, and the
// connection back to the client.
constexpr int handshakeMilliseconds = 5000;
constexpr int connectBackMilliseconds = 5000;
// How often a port that cannot be opened is tried again.
constexpr int reopenMilliseconds = 1000;

class ServerApplication : public shell::Application {
public:
    explicit ServerApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    // What the settings made of the port's time-outs.
    const PortTimeouts& portTimeouts() const { return serialPort.timeouts; }

private:
    // The session thread: serves clients for ever and ends the process only
    // on a failure of its own.
    void runSessions();
    // Returns a client whose connections both stand; clients that fail the
    // set-up or are not allowed are dropped and the next one is accepted.
    // While the port cannot be opened, clients are closed at once.
    Client acceptClient();
    bool receiveHandshake(Client& client);
    bool connectBack(Client& client);
    // Opens the port by its configured name at the start-up line settings.
    bool openPort();
    // Accepts one connection on either listener (`client` learns which, and
    // from where), or nothing within `milliseconds` (-1: no limit);
    // connections from addresses not allowed are closed at once.
    net::SocketHandle acceptAllowed(int milliseconds, Client& client);
    // Waits about reopenMilliseconds for the port, turning clients away.
    void awaitPort();

    int32_t comPort = -1;
    char clientHost[128] = "";
    uint16_t listenPort = 0;
    uint32_t listenAddress = 0;
    net::ListenSocket listenSocket;
    // The "rfc2217" setting; 0: no RFC 2217 listener.
    uint16_t rfc2217Port = 0;
    net::ListenSocket rfc2217Socket;
    SerialPort serialPort{portQueueSize};
    char allowSetting[1024] = "";
    std::vector<AddressRange> allowed;
    // The "trace", "trace_limit" and "monitor" settings.
    char traceSetting[512] = "";
    uint32_t traceLimitMiB = 100;
    uint16_t monitorPort = 0;
    net::ListenSocket monitorSocket;
    Trace trace;
    UnsentBytes unsent;
};

}  // namespace server
