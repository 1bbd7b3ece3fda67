// A session: one client on the serial port. It is made when a client has been
// accepted and destroyed when it has ended; the next client gets a new one,
// so nothing passes from one session to the next but what the application
// lends it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/compat.h"
#include "net/protocol.h"
#include "net/session_latch.h"
#include "server/port_queue.h"
#include "server/serial_port.h"
#include "server/trace.h"

namespace server {

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

// Bytes read from the port that no client has had: a session that ends
// leaves them to the next one, which sends them first.
struct UnsentBytes {
    unsigned char buffer[net::largeChunkSize] = {};
    int offset = 0;
    int length = 0;
};

// What a session borrows from the application, which outlives it.
struct SessionContext {
    const char* title;
    SerialPort& port;
    Trace& trace;
    UnsentBytes& unsent;
};

// A client whose set-up succeeded; its session takes over the connections.
struct Client {
    Listener listener = Listener::native;
    uint32_t address = 0;
    // The control connection, or the one connection of an RFC 2217 client.
    net::SocketHandle control = net::invalidSocket;
    net::SocketHandle data = net::invalidSocket;
    uint16_t dataPort = 0;
};

// Says so and closes a port that has gone; it is opened again by its name.
void closeLostPort(const char* title, SerialPort& port);

class Rfc2217Session;

class Session : PortRequests {
public:
    Session(const SessionContext& context, const Client& client);
    // Ends the session if it still runs, joins its pumps, releases its
    // connections and says how it ended; a port that has gone is closed.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the client on the calling thread until the session ends.
    void run();

private:
    // The RFC 2217 protocol part, which the session owns while it runs.
    friend class Rfc2217Session;

    // Ends the session from any thread: both connections are shut down and
    // every thread of the session is woken.
    void end(SessionEnd cause);
    // The native session's network side: records and data, in the order
    // they came, to the port queue, until the session ends.
    void readNetwork();
    // Serves what the control connection holds: each record is replayed at
    // once or queued behind the data before it. False once the session ends.
    bool serveControl();
    // A native record that waited for the data before it.
    void apply(const std::vector<unsigned char>& record) override;
    void pumpPortToNet();
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

    const char* const title;
    SerialPort& port;
    Trace& trace;
    UnsentBytes& unsent;
    const Client client;
    net::SessionLatch<SessionEnd> ending;
    PortQueue queue;
    // Requests are replayed from the network side and the port writer:
    // one at a time, so that neither undoes the other's settings.
    std::mutex replaying;
    // Bytes each pump moved.
    uint64_t bytesToPort = 0;
    uint64_t bytesFromPort = 0;
    unsigned char netReadBuffer[net::largeChunkSize] = {};
    std::unique_ptr<Rfc2217Session> rfc2217;
    std::thread portWriter;
    std::thread portToNet;
};

}  // namespace server
