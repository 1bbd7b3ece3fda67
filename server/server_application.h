// The server program's application object: its settings, the listening
// socket, the serial port, and the sessions that share the port with one
// client after another.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/compat.h"
#include "net/net_event.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"
#include "server/allow_list.h"
#include "server/serial_port.h"
#include "shell/application.h"

namespace server {

// Deadlines of a session's set-up: the handshake's two bytes, and the
// connection back to the client.
constexpr int handshakeMilliseconds = 5000;
constexpr int connectBackMilliseconds = 5000;
// How often a port that cannot be opened is tried again.
constexpr int reopenMilliseconds = 1000;

// Why a session ended; the first cause noticed wins.
enum class SessionEnd { none, clientClosed, peerLost, portLost };

// How a connection that ended did so (result: the last receive or send).
SessionEnd connectionEnd(int result);

// The listener a client came to.
enum class Listener { native, rfc2217 };

class ServerApplication : public shell::Application {
public:
    explicit ServerApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    // Session thread (session.cpp). runSessions serves clients for ever and
    // ends the process on a rejected replay or a failure of its own.
    void runSessions();
    void serveSession();
    // Returns when both connections of a new session stand; clients that
    // fail the set-up or are not allowed are dropped and the next one is
    // accepted. While the port cannot be opened, clients are closed at once.
    void acceptClient();
    void startPumps();
    // Replays control requests until the session ends.
    void runControlLoop();
    // Replays one request; false once the session ends (the port has gone).
    bool replayRequest(const net::ControlRequest& request);
    // Ends the session from any thread: both connections are shut down and
    // every thread of the session is woken.
    void finishSession(SessionEnd cause);
    // Waits for the pumps, releases both connections and, after a lost
    // port, closes it.
    void endSession();
    void pumpComToNet();
    void pumpNetToCom();
    // Both protocols' pumps. The next piece for the client: what the last
    // send left, or a new read; false once the session ends.
    bool refillFromPort();
    // Writes all `length` bytes to the port; false once the session ends.
    // A stopped line holds the bytes, and TCP holds the client back, until
    // the line moves again or the session ends.
    bool writeToPort(const unsigned char* data, int length);
    // Serves a client of the RFC 2217 listener until the session ends
    // (rfc2217_session.cpp).
    void serveRfc2217();

    int32_t comPort = -1;
    char clientHost[128] = "";
    uint16_t dataPort = 0;
    uint32_t listenAddress = 0;
    net::ListenSocket listenSocket;
    // The "rfc2217" setting; 0: no RFC 2217 listener.
    uint16_t rfc2217Port = 0;
    net::ListenSocket rfc2217Socket;
    Listener clientListener = Listener::native;
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
    std::atomic<SessionEnd> endCause{SessionEnd::none};
    // The control loop's event, woken when another thread ends the session.
    std::optional<net::NetEvent> controlReadiness;
    // Bytes each pump moved in the current session.
    uint64_t bytesToPort = 0;
    uint64_t bytesFromPort = 0;
    char allowSetting[1024] = "";
    std::vector<AddressRange> allowed;
    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char comReadBuffer[net::largeChunkSize] = {};
    unsigned char netReadBuffer[net::largeChunkSize] = {};
    // Bytes in comReadBuffer, from unsentOffset on, that a session read from
    // the port but could not send; the next session sends them first.
    int unsentOffset = 0;
    int unsentLength = 0;

private:
    bool receiveHandshake();
    bool connectBack();
    // Opens the port by its configured name at the start-up line settings.
    bool openPort();
    // Accepts one connection on either listener (clientListener says
    // which), or nothing within `milliseconds` (-1: no limit); connections
    // from addresses not allowed are closed at once.
    net::SocketHandle acceptAllowed(int milliseconds);
    // Waits about reopenMilliseconds for the port, turning clients away.
    void awaitPort();
};

// Receives `count` bytes, waiting on `readiness` whenever none are pending.
// Returns fewer when the connection closes or fails first.
int receiveExact(net::NetEvent& readiness, net::SocketHandle sock, unsigned char* buffer, int count);

}  // namespace server
