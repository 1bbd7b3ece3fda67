#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "net/resolve.h"
#include "net/send_all.h"
#include "net/socket_options.h"
#include "net/socket_wait.h"
#include "server/control_codes.h"
#include "server/server_application.h"
#include "shell/frontend.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// A short pause after a failed accept (EMFILE and the like would fail again
// at once); a connection that reset meanwhile is simply gone.
constexpr int acceptPauseMilliseconds = 100;

// How long one wait on the connections lasts before the session's end is
// looked at again: a local shutdown does not end every wait on Windows.
constexpr int endCheckMilliseconds = 200;

// One console line for a client that could not be served.
void reportDropped(const char* title, uint32_t address, const std::string& why) {
    shell::showConsoleLine(std::string(title) + ": connection from " + net::dottedAddress(address) + " dropped (" + why + ")");
}

const char* describe(SessionEnd cause) {
    switch (cause) {
    case SessionEnd::peerLost: return "peer lost";
    case SessionEnd::portLost: return "port lost";
    default: return "client closed";
    }
}

// Receives all `count` bytes of a record that has begun; false when the
// connection ends or fails first, or the session ends.
bool receiveExact(net::SocketHandle sock, unsigned char* buffer, int count, const std::atomic<bool>& ending) {
    for (int received = 0; received < count;) {
        const int got = net::receiveBytes(sock, buffer + received, count - received);
        if (got > 0) {
            received += got;
        } else if (got == 0 || !net::lastErrorWouldBlock() || ending) {
            return false;
        } else {
            net::waitReadable(sock, endCheckMilliseconds);
        }
    }
    return true;
}

// The native protocol's queued requests, as the port writer replays them.
class RecordRequests : public PortRequests {
public:
    explicit RecordRequests(ServerApplication& app) : app(app) {}
    void apply(const std::vector<unsigned char>& record) override {
        app.replayRequest(net::decodeRecord(record.data()));
    }

private:
    ServerApplication& app;
};

}  // namespace

// A connection that ended: by the peer's choice, or because it vanished.
SessionEnd connectionEnd(int result) {
    return result < 0 && net::lastErrorPeerLost() ? SessionEnd::peerLost : SessionEnd::clientClosed;
}

void startThread(std::thread& thread, std::function<void()> function) {
    try {
        thread = std::thread(std::move(function));
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
}

void ServerApplication::runSessions() {
    try {
        for (;;) serveSession();
    } catch (const std::runtime_error& error) {
        failSession(error.what());
    }
}

void ServerApplication::serveSession() {
    acceptClient();
    const bool rfc2217 = clientListener == Listener::rfc2217;
    shell::showConsoleLine(std::string(title) + ": session with " + net::dottedAddress(clientAddress) +
                           (rfc2217 ? std::string(" on the RFC 2217 port") : ", data port " + std::to_string(dataPort)));
    trace.event("session", "start " + net::dottedAddress(clientAddress) +
                               (rfc2217 ? std::string(" rfc2217") : " native, data port " + std::to_string(dataPort)));
    // A client's break or XOFF must not hold the line for the next one, and
    // bytes the last one left waiting for the line must not come amid this
    // one's: that client is gone.
    serialPort.resumeTransmission();
    serialPort.discardOutput();
    portQueue.reopen();
    net::setBlocking(controlSocket, false);
    if (rfc2217) {
        serveRfc2217();
    } else {
        net::setBlocking(dataSocket.handle(), false);
        RecordRequests requests(*this);
        startThread(portWriterThread, [this, &requests] { writePort(requests); });
        startThread(comToNetThread, [this] { pumpComToNet(); });
        readNetwork();
        // It uses `requests`.
        portWriterThread.join();
    }
    endSession();
}

bool ServerApplication::openPort() { return serialPort.open(comPort, 9600, 0, 8, 0) >= 0; }

net::SocketHandle ServerApplication::acceptAllowed(int milliseconds) {
    // With both waiting, the native client first and the other one next
    // time; an RFC 2217 listener that is not open has no handle to wait on.
    const int ready = net::waitReadableEither(listenSocket.handle(), rfc2217Socket.handle(), milliseconds);
    if (ready < 0) return net::invalidSocket;
    clientListener = ready == 1 ? Listener::rfc2217 : Listener::native;
    net::SocketHandle connection;
    try {
        connection = (clientListener == Listener::rfc2217 ? rfc2217Socket : listenSocket).accept(peerAddress);
    } catch (const std::runtime_error&) {
        // Concerns that one connection only.
        std::this_thread::sleep_for(std::chrono::milliseconds(acceptPauseMilliseconds));
        return net::invalidSocket;
    }
    const uint32_t address = ntohl(peerAddress.sin_addr.s_addr);
    if (!allows(allowed, address)) {
        shell::showConsoleLine(std::string(title) + ": connection from " + net::dottedAddress(address) + " refused (not in allow)");
        net::releaseSocket(connection);
        return net::invalidSocket;
    }
    return connection;
}

void ServerApplication::awaitPort() {
    const Clock::time_point retry = Clock::now() + std::chrono::milliseconds(reopenMilliseconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(retry - Clock::now()).count();
        if (left <= 0) break;
        // Clients fail fast rather than wait for a port that is not there.
        net::releaseSocket(acceptAllowed(static_cast<int>(left)));
    }
    if (openPort())
        shell::showConsoleLine(std::string(title) + ": serial device " + serialPort.name() + " open again");
}

void ServerApplication::acceptClient() {
    listenSocket.listen(1);
    for (;;) {
        if (!serialPort.isOpen()) {
            awaitPort();
            continue;
        }
        controlSocket = acceptAllowed(reopenMilliseconds);
        if (controlSocket == net::invalidSocket) {
            // Between sessions too: an adapter unplugged now must let go of
            // its name, which the kernel gives it again when it comes back.
            if (!serialPort.healthy()) portLost();
            continue;
        }
        net::setSessionOptions(controlSocket);
        clientAddress = ntohl(peerAddress.sin_addr.s_addr);
        // An RFC 2217 client has one connection and no handshake.
        if (clientListener == Listener::rfc2217) return;
        // Back to the address the client came from, never the "client" setting.
        if (receiveHandshake() && connectBack()) return;
        // A client that cannot be served must not end the server.
        net::releaseSocket(controlSocket);
        controlSocket = net::invalidSocket;
    }
}

bool ServerApplication::connectBack() {
    try {
        dataSocket.open(0, 0);
    } catch (const net::SocketError& error) {
        // Out of descriptors, for example: this client's loss only.
        reportDropped(title, clientAddress, "no socket to connect back: " + net::errorText(error.code));
        return false;
    }
    net::setSessionOptions(dataSocket.handle());
    if (dataSocket.connect(clientAddress, dataPort, connectBackMilliseconds)) return true;
    reportDropped(title, clientAddress, "connection back to port " + std::to_string(dataPort) + ": " +
                  (dataSocket.failure != 0 ? net::errorText(dataSocket.failure)
                                           : "no answer within " + std::to_string(connectBackMilliseconds / 1000) + " s"));
    dataSocket.close(net::shutdownBoth);
    return false;
}

// The control connection is still blocking here; the two bytes may come in
// two segments, but within the deadline.
bool ServerApplication::receiveHandshake() {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(handshakeMilliseconds);
    unsigned char bytes[net::handshakeSize];
    int received = 0;
    while (received < net::handshakeSize) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const bool ready = left > 0 && net::waitReadable(controlSocket, static_cast<int>(left));
        int got = ready ? net::receiveBytes(controlSocket, bytes + received, net::handshakeSize - received) : 0;
        if (got <= 0) {
            reportDropped(title, clientAddress,
                          std::to_string(received) + " of " + std::to_string(net::handshakeSize) + " handshake bytes" +
                              (ready ? ", then closed" : " within " + std::to_string(handshakeMilliseconds / 1000) + " s"));
            return false;
        }
        received += got;
    }
    dataPort = net::decodeHandshake(bytes);
    return true;
}

void ServerApplication::readNetwork() {
    const net::SocketHandle data = dataSocket.handle();
    while (!sessionEnding) {
        if (!portQueue.hasRoom()) {
            // The line holds the client back. The control connection is
            // still served: its requests may be what lets the line move.
            portQueue.waitForRoom(endCheckMilliseconds);
            if (!serveControl()) return;
            continue;
        }
        // Counted before the control connection is looked at: with no record
        // there, these bytes all came before the next one. A record that is
        // there goes first, ahead of data that may have come after it.
        const int waiting = net::bytesWaiting(data);
        if (net::bytesWaiting(controlSocket) > 0) {
            if (!serveControl()) return;
            continue;
        }
        if (waiting > 0) {
            const int got =
                net::receiveBytes(data, netReadBuffer, waiting < net::largeChunkSize ? waiting : net::largeChunkSize);
            if (got > 0) {
                portQueue.addData(netReadBuffer, static_cast<size_t>(got));
                continue;
            }
            if (got < 0 && net::lastErrorWouldBlock()) continue;
            finishSession(connectionEnd(got));
            return;
        }
        // Nothing counted: wait for either connection. A control connection
        // readable with nothing to count has ended; so has a data connection
        // whose next byte cannot even be looked at.
        const int ready = net::waitReadableEither(controlSocket, data, endCheckMilliseconds);
        if (ready < 0) continue;
        if (ready == 0) {
            if (!serveControl()) return;
            continue;
        }
        unsigned char next;
        const int peeked = net::peekBytes(data, &next, 1);
        if (peeked > 0 || (peeked < 0 && net::lastErrorWouldBlock())) continue;
        finishSession(connectionEnd(peeked));
        return;
    }
}

bool ServerApplication::serveControl() {
    unsigned char record[net::maxRecordSize];
    for (;;) {
        const int got = net::receiveBytes(controlSocket, record, 1);
        if (got < 0 && net::lastErrorWouldBlock()) return !sessionEnding;
        if (got <= 0) {
            finishSession(connectionEnd(got));
            return false;
        }
        // A negative length is no request, and a request cut short by the
        // close is never replayed: either ends the session.
        const int rest = record[0] + net::recordHeaderSize - 1;
        if (!net::validRecordLength(record[0]) || !receiveExact(controlSocket, record + 1, rest, sessionEnding)) {
            finishSession(SessionEnd::clientClosed);
            return false;
        }
        const net::ControlRequest request = net::decodeRecord(record);
        // Requests keep their order among themselves.
        if (waitsForData(request.ioControlCode) || portQueue.holdsRequest()) {
            portQueue.addRequest(record, static_cast<size_t>(rest + 1));
            continue;
        }
        // Purged output includes what waits here for the line.
        const PortRequest decoded = decodePortRequest(request.ioControlCode, request.input, request.inputLength);
        if (decoded.refusal == Refusal::none && decoded.action == PortAction::purge && decoded.purgeOutput)
            portQueue.dropData();
        if (!replayRequest(request)) return false;
    }
}

void ServerApplication::writePort(PortRequests& requests) {
    PortQueue::Item item;
    while (portQueue.take(item)) {
        if (item.request)
            requests.apply(item.bytes);
        else if (!writeToPort(item.bytes.data(), static_cast<int>(item.bytes.size())))
            return;
    }
}

// A request the port refuses is skipped: the port keeps its state, as after
// a failed SetCommState, and the session goes on. Only a port that has gone
// ends the session.
bool ServerApplication::replayRequest(const net::ControlRequest& request) {
    std::lock_guard<std::mutex> lock(replaying);
    const bool done = serialPort.replay(request.ioControlCode, request.input, request.inputLength);
    const bool gone = !done && !serialPort.healthy();
    std::string why;
    if (!done && !gone) {
        const char* known = refusalText(request.ioControlCode, request.input, request.inputLength);
        why = known != nullptr ? std::string(known) : serialPort.failureText();
    }
    traceRequest(request.ioControlCode, request.input, request.inputLength, done, gone, why);
    if (done) return true;
    if (gone) {
        finishSession(SessionEnd::portLost);
        return false;
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(request.ioControlCode));
    shell::showConsoleLine(std::string(title) + ": request " + code + " refused (" + why + "); the session goes on");
    return true;
}

void ServerApplication::traceRequest(uint32_t ioControlCode, const unsigned char* input, int length, bool done,
                                     bool gone, const std::string& why) {
    if (!trace.on()) return;
    trace.event("request", describeRequest(ioControlCode, input, length) +
                               (done ? "" : gone ? " failed (port lost)" : " refused (" + why + ")"));
}

void ServerApplication::finishSession(SessionEnd cause) {
    SessionEnd none = SessionEnd::none;
    endCause.compare_exchange_strong(none, cause);
    if (sessionEnding.exchange(true)) return;
    // Each thread's next call on its connection, queue or port fails or
    // returns, which ends it. What waits for the port has no client any more.
    ::shutdown(controlSocket, net::shutdownBoth);
    ::shutdown(dataSocket.handle(), net::shutdownBoth);
    portQueue.close();
    serialPort.wake();
}

void ServerApplication::endSession() {
    // Woken by finishSession. An RFC 2217 session has joined its threads.
    if (comToNetThread.joinable()) comToNetThread.join();
    if (portWriterThread.joinable()) portWriterThread.join();
    dataSocket.close(net::shutdownBoth);
    net::releaseSocket(controlSocket);
    controlSocket = net::invalidSocket;
    const SessionEnd cause = endCause;
    const int waiting = cause == SessionEnd::portLost ? -1 : serialPort.outputWaiting();
    const std::string counts =
        std::to_string(bytesToPort) + " bytes to the port" +
        (waiting > 0 ? " (" + std::to_string(waiting) + " of them still waiting for the line)" : "") + ", " +
        std::to_string(bytesFromPort) + " bytes from the port";
    // In the file before the console says the session ended.
    trace.event("session", "end " + net::dottedAddress(clientAddress) + " (" + describe(cause) + "), " + counts);
    trace.flush();
    shell::showConsoleLine(std::string(title) + ": session ended (" + describe(cause) + "), " + counts);
    if (cause == SessionEnd::portLost) {
        portLost();
    } else {
        // A break left on would hold the line until the next client came.
        serialPort.resumeTransmission();
    }
    bytesToPort = 0;
    bytesFromPort = 0;
    serialPort.rearm();
    endCause = SessionEnd::none;
    sessionEnding = false;
}

void ServerApplication::portLost() {
    shell::showConsoleLine(std::string(title) + ": serial device " + serialPort.name() +
                           " lost; clients are turned away until it opens again");
    serialPort.close();
}

bool ServerApplication::refillFromPort() {
    if (unsentLength != 0) return true;
    if (sessionEnding) return false;
    const int got = serialPort.read(comReadBuffer, serialPort.readSize());
    if (got < 0) {
        finishSession(SessionEnd::portLost);
        return false;
    }
    unsentOffset = 0;
    unsentLength = got;
    // Woken by the session's end: what the read took waits for the next
    // client.
    return !sessionEnding;
}

bool ServerApplication::writeToPort(const unsigned char* data, int length) {
    for (int done = 0; done < length;) {
        if (sessionEnding) return false;
        const int put = serialPort.write(data + done, length - done);
        if (put < 0) {
            finishSession(SessionEnd::portLost);
            return false;
        }
        trace.data(toPort, data + done, static_cast<size_t>(put));
        done += put;
        bytesToPort += static_cast<uint64_t>(put);
    }
    return true;
}

void ServerApplication::pumpComToNet() {
    const net::SocketHandle sock = dataSocket.handle();
    for (;;) {
        if (!refillFromPort()) return;
        // Also with nothing read: a zero-length send says whether the
        // connection is still usable. Only the unsent tail is kept.
        int sent = 0;
        bool delivered = net::sendAll(sock, comReadBuffer + unsentOffset, unsentLength, &sent);
        SessionEnd cause = connectionEnd(-1);
        trace.data(fromPort, comReadBuffer + unsentOffset, static_cast<size_t>(sent));
        unsentOffset += sent;
        unsentLength -= sent;
        bytesFromPort += static_cast<uint64_t>(sent);
        if (!delivered) {
            finishSession(cause);
            return;
        }
    }
}

}  // namespace server
