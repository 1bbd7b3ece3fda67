#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "net/resolve.h"
#include "server/server_application.h"
#include "shell/frontend.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// A short pause after a failed accept (EMFILE and the like would fail again
// at once); a connection that reset meanwhile is simply gone.
constexpr int acceptPauseMilliseconds = 100;

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

}  // namespace

// A connection that ended: by the peer's choice, or because it vanished.
SessionEnd connectionEnd(int result) {
    return result < 0 && net::lastErrorPeerLost() ? SessionEnd::peerLost : SessionEnd::clientClosed;
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
    // A client's break or XOFF must not hold the line for the next one.
    serialPort.resumeTransmission();
    controlReadiness.emplace(controlSocket);
    controlReadiness->create();
    controlReadiness->select(net::netEventRead | net::netEventClose);
    if (rfc2217) {
        serveRfc2217();
    } else {
        startPumps();
        runControlLoop();
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
        controlSocket = acceptAllowed(-1);
        if (controlSocket == net::invalidSocket) continue;
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

void ServerApplication::startPumps() {
    try {
        comToNetThread = std::thread([this] { pumpComToNet(); });
        netToComThread = std::thread([this] { pumpNetToCom(); });
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
}

void ServerApplication::runControlLoop() {
    net::NetEvent& readiness = *controlReadiness;
    while (!sessionEnding && readiness.wait()) {
        int got = net::receiveBytes(controlSocket, controlBuffer, 1);
        if (got < 0 && net::lastErrorWouldBlock()) continue;
        if (got <= 0) {
            finishSession(connectionEnd(got));
            break;
        }
        // A negative length is no request, and a request cut short by the
        // close is never replayed: either ends the session.
        if (!net::validRecordLength(controlBuffer[0])) break;
        int rest = controlBuffer[0] + net::recordHeaderSize - 1;
        if (receiveExact(readiness, controlSocket, controlBuffer + 1, rest) < rest) break;
        net::ControlRequest request = net::decodeRecord(controlBuffer);
        if (serialPort.replay(request.ioControlCode, request.input, request.inputLength)) continue;
        // A port that went away refuses everything: that is no client's fault.
        if (serialPort.healthy()) throw std::runtime_error("seiral ioctl error");
        finishSession(SessionEnd::portLost);
    }
    finishSession(SessionEnd::clientClosed);
}

void ServerApplication::finishSession(SessionEnd cause) {
    SessionEnd none = SessionEnd::none;
    endCause.compare_exchange_strong(none, cause);
    if (sessionEnding.exchange(true)) return;
    // Each thread's next call on its connection or port fails or returns,
    // which ends it; Winsock needs the events set as well.
    ::shutdown(controlSocket, net::shutdownBoth);
    ::shutdown(dataSocket.handle(), net::shutdownBoth);
    controlReadiness->wake();
    if (dataReadinessSelected) dataReadiness->wake();
    serialPort.wake();
}

void ServerApplication::endSession() {
    // Woken by finishSession; a write to a stopped line bounds it. An RFC
    // 2217 session has joined its one pump already.
    if (comToNetThread.joinable()) comToNetThread.join();
    if (netToComThread.joinable()) netToComThread.join();
    controlReadiness.reset();
    dataReadiness.reset();
    dataReadinessSelected = false;
    dataSocket.close(net::shutdownBoth);
    net::releaseSocket(controlSocket);
    controlSocket = net::invalidSocket;
    const SessionEnd cause = endCause;
    shell::showConsoleLine(std::string(title) + ": session ended (" + describe(cause) + "), " +
                           std::to_string(bytesToPort) + " bytes to the port, " + std::to_string(bytesFromPort) +
                           " bytes from the port");
    if (cause == SessionEnd::portLost) {
        shell::showConsoleLine(std::string(title) + ": serial device " + serialPort.name() +
                               " lost; clients are turned away until it opens again");
        serialPort.close();
    }
    bytesToPort = 0;
    bytesFromPort = 0;
    serialPort.rearm();
    endCause = SessionEnd::none;
    sessionEnding = false;
}

int receiveExact(net::NetEvent& readiness, net::SocketHandle sock, unsigned char* buffer, int count) {
    int received = 0;
    while (received < count) {
        int got = net::receiveBytes(sock, buffer + received, count - received);
        if (got > 0) {
            received += got;
        } else if (got == 0 || !net::lastErrorWouldBlock() || !readiness.wait()) {
            break;
        }
    }
    return received;
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
        unsentOffset += sent;
        unsentLength -= sent;
        bytesFromPort += static_cast<uint64_t>(sent);
        if (!delivered) {
            finishSession(cause);
            return;
        }
    }
}

void ServerApplication::pumpNetToCom() {
    const net::SocketHandle sock = dataSocket.handle();
    net::NetEvent& readiness = dataReadiness.emplace(sock);
    try {
        readiness.create();
        readiness.select(net::netEventRead | net::netEventClose);
    } catch (const std::runtime_error&) {
        finishSession(SessionEnd::clientClosed);
        return;
    }
    // Published before the end of the session is checked, so that either
    // the session's end sees the event and wakes it, or this loop sees the
    // end.
    dataReadinessSelected = true;
    for (;;) {
        // Receive first and wait only when nothing is pending: a busy
        // connection then costs one call per piece.
        int got = net::receiveBytes(sock, netReadBuffer, net::largeChunkSize);
        if (got < 0 && net::lastErrorWouldBlock()) {
            // Ended by finishSession's shutdown and wake.
            if (sessionEnding || !readiness.wait()) return;
            continue;
        }
        if (got <= 0) {
            finishSession(connectionEnd(got));
            return;
        }
        if (!writeToPort(netReadBuffer, got)) return;
    }
}

}  // namespace server
