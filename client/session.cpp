#include "client/session.h"

#include <stdexcept>
#include <system_error>
#include <vector>

#include "net/deadline.h"
#include "net/send_all.h"
#include "net/socket_options.h"
#include "net/socket_wait.h"

namespace client {

const char* receiveEnd(int received) {
    if (received > 0 || (received < 0 && net::lastErrorWouldBlock())) return nullptr;
    return received == 0 ? closedText : lostText;
}

namespace {

std::unique_ptr<net::NetEvent> watch(net::SocketHandle sock) {
    std::unique_ptr<net::NetEvent> event(new net::NetEvent(sock));
    event->create();
    event->select(net::netEventRead | net::netEventClose);
    return event;
}

// The server's connection back, within the deadline; the listener closes as
// soon as it is there. A connection from any other address gets nothing: it
// is closed and the wait goes on, so that it cannot end the attempt either.
// A server that closes the control connection meanwhile will not connect back.
net::SocketHandle acceptServer(net::ListenSocket& listener, net::SocketHandle control, uint32_t server) {
    const auto deadline = net::deadlineIn(connectBackSeconds * 1000);
    for (;;) {
        const int left = net::millisecondsLeft(deadline);
        const int ready = left > 0 ? net::waitReadableEither(listener.handle(), control, left) : -1;
        if (ready < 0) throw std::runtime_error("server did not connect back (busy, or blocked by a firewall)");
        if (ready == 0) {
            sockaddr_in peer{};
            net::SocketHandle connection = listener.accept(peer);
            if (peer.sin_addr.s_addr == htonl(server)) {
                listener.close(net::shutdownBoth);
                return connection;
            }
            net::releaseSocket(connection);
            continue;
        }
        unsigned char ignored[16];
        if (net::receiveBytes(control, ignored, sizeof ignored) <= 0)
            throw std::runtime_error("server closed the connection");
    }
}

}  // namespace

Session::Session(VirtualPort& device, uint32_t serverAddress, uint16_t serverPort, bool rfc2217)
    : device(device), serverAddress(serverAddress), serverPort(serverPort), speaksRfc2217(rfc2217) {}

// Nobody else calls end() by now: the pump is joined, and the port's threads
// gave the session back before it is destroyed.
Session::~Session() {
    end(lostText);
    if (pump.joinable()) pump.join();
    controlEvent.reset();
    dataEvent.reset();
    if (listenSocket.handle() != net::invalidSocket) listenSocket.close(net::shutdownBoth);
    net::releaseSocket(dataSocket);
    if (controlSocket.handle() != net::invalidSocket) controlSocket.close(net::shutdownBoth);
}

std::string Session::connect() {
    try {
        connectToServer();
        controlEvent = watch(controlSocket.handle());
        if (!speaksRfc2217) dataEvent = watch(dataSocket);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    if (!speaksRfc2217) return "";
    // An RFC 2217 session starts with a fresh Telnet state and our offers.
    std::vector<unsigned char> offers;
    rfc2217.emplace().begin(offers);
    return net::sendAll(controlSocket.handle(), offers.data(), static_cast<int>(offers.size())) ? "" : lostText;
}

void Session::connectToServer() {
    controlSocket.open(0, 0);
    net::setSessionOptions(controlSocket.handle());
    // The system bounds an unanswered connect (its SYN retries).
    if (!controlSocket.connect(serverAddress, serverPort)) throw std::runtime_error("connect connect error");
    // RFC 2217: one connection, nothing to announce.
    if (speaksRfc2217) return;
    // On the address the server reached only, not on every address of this host.
    sockaddr_in local{};
    net::SocketLength length = sizeof local;
    if (::getsockname(controlSocket.handle(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        throw std::runtime_error("getsockname error");
    listenSocket.open(ntohl(local.sin_addr.s_addr), 0);
    // Listening before the port goes out: the server connects back at once,
    // and only once.
    listenSocket.listen(1);
    unsigned char wire[net::handshakeSize];
    net::encodeHandshake(listenSocket.localPort(), wire);
    if (net::sendBytes(controlSocket.handle(), wire, sizeof wire) != sizeof wire)
        throw std::runtime_error("write portNo error");
    dataSocket = acceptServer(listenSocket, controlSocket.handle(), serverAddress);
    net::setSessionOptions(dataSocket);
}

bool Session::start() {
    device.allowWrites();
    // An RFC 2217 session's one connection is read by the session thread.
    if (speaksRfc2217) return true;
    try {
        pump = std::thread([this] { pumpNetworkToDevice(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

std::string Session::run() {
    // Nothing comes on the control connection but its end. The waits end
    // with the connection (keepalive bounds a silent peer) or end().
    unsigned char ignored[16];
    if (speaksRfc2217) carryRfc2217Input();
    while (!latch.ended()) {
        if (!controlEvent->wait()) {
            end(lostText);
        } else if (const char* why = receiveEnd(net::receiveBytes(controlSocket.handle(), ignored, sizeof ignored))) {
            end(why);
        }
    }
    return latch.cause();
}

void Session::end(const char* reason) {
    if (!latch.end(reason)) return;
    ::shutdown(controlSocket.handle(), net::shutdownBoth);
    ::shutdown(dataSocket, net::shutdownBoth);
    if (controlEvent) controlEvent->wake();
    if (dataEvent) dataEvent->wake();
    device.stopWrites();
}

bool Session::sendRecords(const unsigned char* records, int size) {
    std::lock_guard<std::mutex> lock(sendMutex);
    if (!speaksRfc2217) return size == 0 || net::sendAll(controlSocket.handle(), records, size);
    std::vector<unsigned char> commands;
    rfc2217->commands(records, size, commands);
    return commands.empty() ||
           net::sendAll(controlSocket.handle(), commands.data(), static_cast<int>(commands.size()));
}

void Session::pumpNetworkToDevice() {
    // Its waits end as the session thread's do.
    while (!latch.ended()) {
        // Receive first and wait only when nothing is pending: a busy
        // connection then costs one call per piece.
        const int received = net::receiveBytes(dataSocket, netReadBuffer, net::largeChunkSize);
        if (received < 0 && net::lastErrorWouldBlock()) {
            if (!dataEvent->wait()) end(lostText);
            continue;
        }
        if (const char* why = receiveEnd(received)) {
            end(why);
            break;
        }
        writeToDevice(netReadBuffer, received);
    }
}

void Session::writeToDevice(const unsigned char* data, int count) {
    const PortResult result = device.write(data, count, speaksRfc2217 ? controlSocket.handle() : dataSocket);
    if (result.status == PortResult::failed || (result.status == PortResult::done && result.count < count))
        end("write device error");
}

}  // namespace client
