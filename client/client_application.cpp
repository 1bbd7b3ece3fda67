#include "client/client_application.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "client/session.h"
#include "net/resolve.h"
#include "shell/catalogue.h"
#include "shell/frontend.h"
#include "shell/settings.h"

namespace client {

ClientApplication::ClientApplication(shell::InstanceHandle instance)
    : Application("WIN morvane Client", "WIN morvane Client Class", instance) {}

void ClientApplication::readSettings(const char* fileName) {
    char path[512];
    shell::makeSettingsPath(fileName, path, sizeof path);
    port = static_cast<uint16_t>(shell::readProfileInt("CLIENT", "port", net::defaultPort, path));
    comNumber = static_cast<int32_t>(shell::readProfileInt("CLIENT", "com", 0, path));
    shell::readProfileString("CLIENT", "host", "", hostName, sizeof hostName, path);
    shell::readProfileString("CLIENT", "protocol", "native", protocolName, sizeof protocolName, path);
    // A negative number means no reconnecting, as 0 does.
    const int reconnect = static_cast<int>(shell::readProfileInt("CLIENT", "reconnect", 0, path));
    reconnectSeconds = reconnect > 0 ? static_cast<uint32_t>(reconnect) : 0;
    shell::readProfileString("CLIENT", "device", "", devicePath, sizeof devicePath, path);
    shell::readProfileString("CLIENT", "line", defaultLine, lineText, sizeof lineText, path);
}

bool ClientApplication::initNetwork() {
    speaksRfc2217 = std::strcmp(protocolName, "rfc2217") == 0;
    if (hostName[0] == '\0') return fail(shell::messageSettings, "host: empty; set it to the server's name or address");
    if (!speaksRfc2217 && std::strcmp(protocolName, "native") != 0)
        return fail(shell::messageSettings, "protocol: '" + std::string(protocolName) + "' is neither native nor rfc2217");
    net::startNetworking();
    const std::optional<uint32_t> address = net::resolveFirstAddress(hostName);
    if (!address) return fail(shell::messageSettings, "host: '" + std::string(hostName) + "' does not resolve");
    serverAddress = *address;
    try {
        controlSocket.open(0, 0);
    } catch (const net::SocketError& error) {
        return fail(shell::messageNetwork, "socket: " + net::errorText(error.code));
    }
    return true;
}

bool ClientApplication::openSerial() {
    PortOptions options;
    options.comNumber = comNumber;
    options.devicePath = devicePath;
    // A "line" the port could never have is a mistake in the settings file.
    if (!parseLineFormat(lineText, options.line))
        return fail(shell::messageSettings, "line: '" + std::string(lineText) + "' is not data bits, parity and stop bits such as 8N1");
    if (!device.open(options)) return fail(shell::messageSerial, device.openFailure());
    shell::atProcessEnd([this] { device.withdraw(); });
    return true;
}

bool ClientApplication::startThreads() {
    if (!device.createEvents()) {
        errorMessageId = shell::messageThread;
        return false;
    }
    try {
        sessionThread = std::thread([this] { runSession(); });
    } catch (const std::system_error&) {
        errorMessageId = shell::messageThread;
        return false;
    }
    return true;
}

namespace {

// The server's connection back, within the deadline; connections from any
// other address are closed and the wait goes on. A server that closes the
// control connection meanwhile will not connect back.
net::SocketHandle acceptServer(net::ListenSocket& listener, net::SocketHandle control, uint32_t server,
                               sockaddr_in& peer) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(connectBackSeconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int ready = left > 0 ? net::waitReadableEither(listener.handle(), control, static_cast<int>(left)) : -1;
        if (ready < 0) throw std::runtime_error("server did not connect back (busy, or blocked by a firewall)");
        if (ready == 0) {
            net::SocketHandle connection = listener.accept(peer);
            if (peer.sin_addr.s_addr == htonl(server)) return connection;
            net::releaseSocket(connection);
            continue;
        }
        unsigned char ignored[16];
        if (net::receiveBytes(control, ignored, sizeof ignored) <= 0)
            throw std::runtime_error("server closed the connection");
    }
}

}  // namespace

void ClientApplication::connectToServer() {
    // A socket that failed to connect cannot try again: each session has its own.
    if (controlSocket.handle() == net::invalidSocket) controlSocket.open(0, 0);
    net::setSessionOptions(controlSocket.handle());
    // The system bounds an unanswered connect (its SYN retries).
    if (!controlSocket.connect(serverAddress, port)) throw std::runtime_error("connect connect error");
    // RFC 2217: one connection, nothing to announce.
    if (speaksRfc2217) return;
    listenSocket.open(0, 0);
    // Listening before the port goes out: the server connects back at once,
    // and only once.
    listenSocket.listen(1);
    unsigned char wire[net::handshakeSize];
    net::encodeHandshake(listenSocket.localPort(), wire);
    std::memcpy(&dataPortWire, wire, sizeof wire);
    if (net::sendBytes(controlSocket.handle(), wire, sizeof wire) != sizeof wire)
        throw std::runtime_error("write portNo error");
    dataSocket = acceptServer(listenSocket, controlSocket.handle(), serverAddress, dataPeer);
    listenSocket.close(net::shutdownBoth);
    net::setSessionOptions(dataSocket);
}

void ClientApplication::closeConnections() {
    if (listenSocket.handle() != net::invalidSocket) listenSocket.close(net::shutdownBoth);
    net::releaseSocket(dataSocket);
    dataSocket = net::invalidSocket;
    if (controlSocket.handle() != net::invalidSocket) controlSocket.close(net::shutdownBoth);
}

std::string ClientApplication::runningNote() const {
    return std::string(title) + ": virtual port " + device.describe() + ", server " +
           net::dottedAddress(serverAddress) + ":" + std::to_string(port);
}

}  // namespace client
