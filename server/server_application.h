// The server program's application object: its settings, the listening
// socket, the serial port, and the sessions that share the port with one
// client after another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/compat.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"
#include "server/allow_list.h"
#include "server/port_queue.h"
#include "server/serial_port.h"
#include "server/trace.h"
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

// How the port writer applies a queued request.
class PortRequests {
public:
    virtual void apply(const std::vector<unsigned char>& request) = 0;

protected:
    ~PortRequests() = default;
};

// Starts a thread of the session; a thread that cannot be made ends the
// process, as a failure of its own.
void startThread(std::thread& thread, std::function<void()> function);

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
    // ends the process only on a failure of its own.
    void runSessions();
    void serveSession();
    // Returns when both connections of a new session stand; clients that
    // fail the set-up or are not allowed are dropped and the next one is
    // accepted. While the port cannot be opened, clients are closed at once.
    void acceptClient();
    // The native session's network side: records and data, in the order
    // they came, to the port queue, until the session ends.
    void readNetwork();
    // Ends the session from any thread: both connections are shut down and
    // every thread of the session is woken.
    void finishSession(SessionEnd cause);
    // Waits for the session's threads, releases both connections and, after
    // a lost port, closes it.
    void endSession();
    void pumpComToNet();
    // The port writer: the queue's data and requests, in order, until the
    // session ends.
    void writePort(PortRequests& requests);
    // Both protocols' pumps. The next piece for the client: what the last
    // send left, or a new read; false once the session ends.
    bool refillFromPort();
    // Writes all `length` bytes to the port; false once the session ends.
    // A stopped line holds the bytes, and TCP holds the client back, until
    // the line moves again or the session ends.
    bool writeToPort(const unsigned char* data, int length);
    // Replays one request, from either thread; false once the session ends
    // (the port has gone). A refused request is skipped with a line.
    bool replayRequest(const net::ControlRequest& request);
    // A replayed request's trace line: done, refused (why), or the port gone.
    void traceRequest(uint32_t ioControlCode, const unsigned char* input, int length, bool done, bool gone,
                      const std::string& why);
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
    std::thread portWriterThread;
    PortQueue portQueue;
    std::atomic<bool> sessionEnding{false};
    std::atomic<SessionEnd> endCause{SessionEnd::none};
    // Requests are replayed from the network side and the port writer:
    // one at a time, so that neither undoes the other's settings.
    std::mutex replaying;
    // Bytes each pump moved in the current session.
    uint64_t bytesToPort = 0;
    uint64_t bytesFromPort = 0;
    char allowSetting[1024] = "";
    // The "trace", "trace_limit" and "monitor" settings.
    char traceSetting[512] = "";
    uint32_t traceLimitMiB = 100;
    uint16_t monitorPort = 0;
    net::ListenSocket monitorSocket;
    Trace trace;
    std::vector<AddressRange> allowed;
    unsigned char comReadBuffer[net::largeChunkSize] = {};
    unsigned char netReadBuffer[net::largeChunkSize] = {};
    // Bytes in comReadBuffer, from unsentOffset on, that a session read from
    // the port but could not send; the next session sends them first.
    int unsentOffset = 0;
    int unsentLength = 0;

private:
    // Serves what the control connection holds: each record is replayed at
    // once or queued behind the data before it. False once the session ends.
    bool serveControl();
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
    // Says so and closes the port, which is then opened again by its name.
    void portLost();
};


}  // namespace server
