#include "client/client_application.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "client/session.h"
#include "net/resolve.h"
#include "net/socket_options.h"
#include "net/socket_wait.h"
#include "shell/catalogue.h"
#include "shell/frontend.h"
#include "shell/process_end.h"
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
    shell::readProfileString("CLIENT", "group", "", groupName, sizeof groupName, path);
    shell::readProfileString("CLIENT", "mode", "", modeText, sizeof modeText, path);
}

namespace {

// "mode": three or four octal digits, as chmod takes them, without set-id
// or sticky bits; empty: the port keeps the mode it is made with.
bool parseMode(const char* text, int32_t& mode) {
    const size_t length = std::strlen(text);
    if (length == 0) return true;
    if (length < 3 || length > 4 || std::strspn(text, "01234567") != length) return false;
    const long value = std::strtol(text, nullptr, 8);
    mode = static_cast<int32_t>(value);
    return value <= 0777;
}

}  // namespace

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
    // A "line", "mode" or "group" the port could never have is a mistake in
    // the settings file.
    if (!parseLineFormat(lineText, options.line))
        return fail(shell::messageSettings, "line: '" + std::string(lineText) + "' is not data bits, parity and stop bits such as 8N1");
    if (!parseMode(modeText, options.mode))
        return fail(shell::messageSettings, "mode: '" + std::string(modeText) + "' is not an octal mode such as 0660");
    if (groupName[0] != '\0' && !findGroup(groupName, options.groupId))
        return fail(shell::messageSettings, "group: '" + std::string(groupName) + "' does not exist");
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

// The server's connection back, within the deadline; the listener closes as
// soon as it is there. A connection from any other address gets nothing: it
// is closed and the wait goes on, so that it cannot end the attempt either.
// A server that closes the control connection meanwhile will not connect back.
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

void ClientApplication::connectToServer() {
    // A socket that failed to connect cannot try again: each session has its own.
    if (controlSocket.handle() == net::invalidSocket) controlSocket.open(0, 0);
    net::setSessionOptions(controlSocket.handle());
    // The system bounds an unanswered connect (its SYN retries).
    if (!controlSocket.connect(serverAddress, port)) throw std::runtime_error("connect connect error");
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
    std::memcpy(&dataPortWire, wire, sizeof wire);
    if (net::sendBytes(controlSocket.handle(), wire, sizeof wire) != sizeof wire)
        throw std::runtime_error("write portNo error");
    dataSocket = acceptServer(listenSocket, controlSocket.handle(), serverAddress, dataPeer);
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
