#include <stdexcept>
#include <system_error>

#include "server/server_application.h"

namespace server {

void ServerApplication::runSessions() {
    try {
        for (;;) serveSession();
    } catch (const std::runtime_error& error) {
        failSession(error.what());
    }
}

void ServerApplication::serveSession() {
    if (serveRfc2217Client()) return;
    acceptClient();
    startPumps();
    runControlLoop();
    endSession();
}

void ServerApplication::acceptClient() {
    for (;;) {
        listenSocket.listen(1);
        controlSocket = listenSocket.accept(peerAddress);
        net::setSessionOptions(controlSocket);
        clientAddress = ntohl(peerAddress.sin_addr.s_addr);
        // Back to the address the client came from, never the "client" setting.
        if (receiveHandshake()) {
            dataSocket.open(0, 0);
            net::setSessionOptions(dataSocket.handle());
            if (dataSocket.connect(clientAddress, dataPort)) return;
            dataSocket.close(net::shutdownBoth);
        }
        // A client that cannot be served must not end the server.
        net::releaseSocket(controlSocket);
        controlSocket = net::invalidSocket;
    }
}

// The control connection is still blocking here; the two bytes may come in
// two segments.
bool ServerApplication::receiveHandshake() {
    unsigned char bytes[net::handshakeSize];
    int received = 0;
    while (received < net::handshakeSize) {
        int got = net::receiveBytes(controlSocket, bytes + received, net::handshakeSize - received);
        if (got <= 0) return false;
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
    net::NetEvent readiness(controlSocket);
    readiness.create();
    readiness.select(net::netEventRead | net::netEventClose);
    while (readiness.wait()) {
        int got = net::receiveBytes(controlSocket, controlBuffer, 1);
        if (got < 0 && net::lastErrorWouldBlock()) continue;
        if (got <= 0) break;
        // A negative length is no request, and a request cut short by the
        // close is never replayed: either ends the session.
        if (!net::validRecordLength(controlBuffer[0])) break;
        int rest = controlBuffer[0] + net::recordHeaderSize - 1;
        if (receiveExact(readiness, controlSocket, controlBuffer + 1, rest) < rest) break;
        net::ControlRequest request = net::decodeRecord(controlBuffer);
        if (!serialPort.replay(request.ioControlCode, request.input, request.inputLength))
            throw std::runtime_error("seiral ioctl error");
    }
    readiness.close();
    // The pumps' next transfers on the data connection fail, which ends them;
    // the network-to-COM pump is woken to try one.
    sessionEnding = true;
    ::shutdown(dataSocket.handle(), net::shutdownBoth);
    if (dataReadinessSelected) dataReadiness->wake();
}

void ServerApplication::endSession() {
    // The COM read time-out bounds this wait.
    comToNetThread.join();
    netToComThread.join();
    dataReadiness.reset();
    dataReadinessSelected = false;
    sessionEnding = false;
    dataSocket.close(net::shutdownBoth);
    net::releaseSocket(controlSocket);
    controlSocket = net::invalidSocket;
}

int receiveExact(net::NetEvent& readiness, net::SocketHandle sock, unsigned char* buffer, int count) {
    int received = 0;
    while (received < count) {
        int got = net::receiveBytes(sock, buffer + received, count - received);
        if (got > 0) {
            received += got;
        } else if (got == 0) {
            break;
        } else if (!net::lastErrorWouldBlock()) {
            throw std::runtime_error("ioctl read error");
        } else if (!readiness.wait()) {
            break;
        }
    }
    return received;
}

void ServerApplication::pumpComToNet() {
    const net::SocketHandle sock = dataSocket.handle();
    for (;;) {
        if (unsentLength == 0) {
            int got = serialPort.read(comReadBuffer, net::chunkSize);
            if (got < 0) return;
            unsentLength = got;
        }
        // Also with nothing read: a zero-length send says whether the
        // connection is still usable. Unsent bytes wait for the next client.
        if (!net::sendAll(sock, comReadBuffer, unsentLength)) return;
        unsentLength = 0;
    }
}

void ServerApplication::pumpNetToCom() {
    const net::SocketHandle sock = dataSocket.handle();
    net::NetEvent& readiness = dataReadiness.emplace(sock);
    try {
        readiness.create();
        readiness.select(net::netEventRead | net::netEventClose);
    } catch (const std::runtime_error&) {
        return;  // pumps end silently
    }
    // Published before the end of the session is checked, so that either
    // the session's end sees the event and wakes it, or this loop sees the
    // end.
    dataReadinessSelected = true;
    for (;;) {
        // Receive first and wait only when nothing is pending: a busy
        // connection then costs one call per piece.
        int got = net::receiveBytes(sock, netReadBuffer, net::chunkSize);
        if (got < 0 && net::lastErrorWouldBlock()) {
            if (sessionEnding || !readiness.wait()) return;
            continue;
        }
        if (got <= 0) return;
        // Short writes go on; a write that takes nothing (the port failed or
        // the line stayed blocked) drops the rest of the chunk.
        for (int done = 0; done < got;) {
            int put = serialPort.write(netReadBuffer + done, got - done);
            if (put <= 0) break;
            done += put;
        }
    }
}

}  // namespace server
