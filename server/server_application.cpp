#include "server/server_application.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "net/deadline.h"
#include "net/resolve.h"
#include "net/socket_options.h"
#include "net/socket_wait.h"
#include "shell/catalogue.h"
#include "shell/frontend.h"
#include "shell/process_end.h"
#include "shell/settings.h"

namespace server {

namespace {

// A short pause after a failed accept (EMFILE and the like would fail again
// at once); a connection that reset meanwhile is simply gone.
constexpr int acceptPauseMilliseconds = 100;

// One console line for a client that could not be served.
void reportDropped(const char* title, uint32_t address, const std::string& why) {
    shell::showConsoleLine(std::string(title) + ": connection from " + net::dottedAddress(address) + " dropped (" + why + ")");
}

}  // namespace

ServerApplication::ServerApplication(shell::InstanceHandle instance)
    : Application("WIN morvane Server", "WIN morvane Server Class", instance) {}

void ServerApplication::readSettings(const char* fileName) {
    char path[512];
    shell::makeSettingsPath(fileName, path, sizeof path);
    comPort = static_cast<int32_t>(shell::readProfileInt("SERVER", "com", 0, path));
    listenPort = static_cast<uint16_t>(shell::readProfileInt("SERVER", "port", net::defaultPort, path));
    shell::readProfileString("SERVER", "client", "", clientHost, sizeof clientHost, path);
    shell::readProfileString("SERVER", "allow", "", allowSetting, sizeof allowSetting, path);
    rfc2217Port = static_cast<uint16_t>(shell::readProfileInt("SERVER", "rfc2217", 0, path));
    shell::readProfileString("SERVER", "trace", "", traceSetting, sizeof traceSetting, path);
    const auto limit = static_cast<int32_t>(shell::readProfileInt("SERVER", "trace_limit", 100, path));
    traceLimitMiB = limit > 0 ? static_cast<uint32_t>(limit) : 100;
    monitorPort = static_cast<uint16_t>(shell::readProfileInt("SERVER", "monitor", 0, path));
    // A negative gap means nothing sensible: keep the default.
    auto interval = static_cast<int32_t>(
        shell::readProfileInt("SERVER", "interval", PortTimeouts::defaultReadInterval, path));
    serialPort.timeouts.setReadInterval(interval < 0 ? PortTimeouts::defaultReadInterval
                                                     : static_cast<uint32_t>(interval));
#ifndef _WIN32
    char device[512];
    shell::readProfileString("SERVER", "device", "", device, sizeof device, path);
    serialPort.device = device;
#endif
}

bool ServerApplication::initNetwork() {
    // Never a silent "allow all" for a list that says something else.
    std::string malformed;
    std::optional<std::vector<AddressRange>> ranges = parseAllowList(allowSetting, &malformed);
    if (!ranges) return fail(shell::messageSettings, "allow: '" + malformed + "' is not an IPv4 address or CIDR range");
    allowed = *ranges;
    const std::string traceFile = shell::trimBlanks(traceSetting);
    std::string traceFailure;
    if (!traceFile.empty() && !trace.openFile(traceFile, uint64_t{traceLimitMiB} << 20, traceFailure))
        return fail(shell::messageSettings, "trace: " + traceFailure);
    net::startNetworking();
    listenAddress = 0;
    if (clientHost[0] != '\0') {
        const std::optional<uint32_t> address = net::resolveFirstAddress(clientHost);
        if (address) {
            listenAddress = *address;
        } else {
            // Not a start-up failure: warn, then listen on every address.
            char text[160];
            std::snprintf(text, sizeof text, "I cannot recognize the client:%s", clientHost);
            shell::showMessageBox("IDC_PUSHBUTTON", text, shell::BoxIcon::warning);
        }
    }
    uint16_t opening = listenPort;
    try {
        listenSocket.open(listenAddress, listenPort);
        // Listening already, so that a client that comes before the session
        // thread is queued rather than refused. A backlog of one: a session
        // is one client, and the next one waits its turn in the queue.
        listenSocket.listen(1);
        if (rfc2217Port != 0) {
            opening = rfc2217Port;
            rfc2217Socket.open(listenAddress, rfc2217Port);
            rfc2217Socket.listen(1);
        }
        if (monitorPort != 0) {
            opening = monitorPort;
            monitorSocket.open(listenAddress, monitorPort);
            monitorSocket.listen(SOMAXCONN);
            trace.watch(monitorSocket.handle(), allowed);
        }
    } catch (const net::SocketError& error) {
        return fail(shell::messageNetwork, net::dottedAddress(listenAddress) + ":" + std::to_string(opening) + ": " +
                                               net::errorText(error.code));
    }
    return true;
}

bool ServerApplication::openSerial() {
    if (!openPort()) return fail(shell::messageSerial, serialPort.openFailure);
    shell::atProcessEnd([this] { serialPort.releaseExclusive(); });
    return true;
}

bool ServerApplication::startThreads() {
    if (!serialPort.createIoEvents() || !trace.start()) {
        errorMessageId = shell::messageThread;
        return false;
    }
    // What the last session did reaches the file before the process ends.
    shell::atProcessEnd([this] { trace.flush(); });
    try {
        // Runs for the life of the process; nothing waits for it.
        std::thread([this] { runSessions(); }).detach();
    } catch (const std::system_error&) {
        errorMessageId = shell::messageThread;
        return false;
    }
    return true;
}

std::string ServerApplication::runningNote() const {
    in_addr address{};
    address.s_addr = htonl(listenAddress);
    return std::string(title) + ": listening on " + ::inet_ntoa(address) + ":" +
           std::to_string(listenSocket.localPort()) + ", serial device " + serialPort.name();
}

void ServerApplication::runSessions() {
    try {
        for (;;) Session({title, serialPort, trace, unsent}, acceptClient()).run();
    } catch (const std::runtime_error& error) {
        failSession(error.what());
    }
}

bool ServerApplication::openPort() { return serialPort.open(comPort, 9600, 0, 8, 0); }

net::SocketHandle ServerApplication::acceptAllowed(int milliseconds, Client& client) {
    // With both waiting, the native client first and the other one next
    // time; an RFC 2217 listener that is not open has no handle to wait on.
    const int ready = net::waitReadableEither(listenSocket.handle(), rfc2217Socket.handle(), milliseconds);
    if (ready < 0) return net::invalidSocket;
    client.listener = ready == 1 ? Listener::rfc2217 : Listener::native;
    sockaddr_in peer{};
    net::SocketHandle connection;
    try {
        connection = (client.listener == Listener::rfc2217 ? rfc2217Socket : listenSocket).accept(peer);
    } catch (const std::runtime_error&) {
        // Concerns that one connection only.
        std::this_thread::sleep_for(std::chrono::milliseconds(acceptPauseMilliseconds));
        return net::invalidSocket;
    }
    client.address = ntohl(peer.sin_addr.s_addr);
    if (!allows(allowed, client.address)) {
        shell::showConsoleLine(std::string(title) + ": connection from " + net::dottedAddress(client.address) +
                               " refused (not in allow)");
        net::releaseSocket(connection);
        return net::invalidSocket;
    }
    return connection;
}

void ServerApplication::awaitPort() {
    const net::Clock::time_point retry = net::deadlineIn(reopenMilliseconds);
    Client turnedAway;
    // Clients fail fast rather than wait for a port that is not there.
    for (int left; (left = net::millisecondsLeft(retry)) > 0;) net::releaseSocket(acceptAllowed(left, turnedAway));
    if (openPort())
        shell::showConsoleLine(std::string(title) + ": serial device " + serialPort.name() + " open again");
}

Client ServerApplication::acceptClient() {
    for (;;) {
        if (!serialPort.isOpen()) {
            awaitPort();
            continue;
        }
        Client client;
        client.control = acceptAllowed(reopenMilliseconds, client);
        if (client.control == net::invalidSocket) {
            // Between sessions too: an adapter unplugged now must let go of
            // its name, which the kernel gives it again when it comes back.
            if (!serialPort.healthy()) closeLostPort(title, serialPort);
            continue;
        }
        net::setSessionOptions(client.control);
        // An RFC 2217 client has one connection and no handshake.
        if (client.listener == Listener::rfc2217) return client;
        // Back to the address the client came from, never the "client" setting.
        if (receiveHandshake(client) && connectBack(client)) return client;
        // A client that cannot be served must not end the server.
        net::releaseSocket(client.control);
    }
}

bool ServerApplication::connectBack(Client& client) {
    // Not closed on its own: the session takes the handle over.
    net::ConnectSocket data;
    try {
        data.open(0, 0);
    } catch (const net::SocketError& error) {
        // Out of descriptors, for example: this client's loss only.
        reportDropped(title, client.address, "no socket to connect back: " + net::errorText(error.code));
        return false;
    }
    net::setSessionOptions(data.handle());
    if (data.connect(client.address, client.dataPort, connectBackMilliseconds)) {
        client.data = data.handle();
        return true;
    }
    reportDropped(title, client.address, "connection back to port " + std::to_string(client.dataPort) + ": " +
                  (data.failure != 0 ? net::errorText(data.failure)
                                     : "no answer within " + std::to_string(connectBackMilliseconds / 1000) + " s"));
    data.close(net::shutdownBoth);
    return false;
}

// The control connection is still blocking here; the two bytes may come in
// two segments, but within the deadline.
bool ServerApplication::receiveHandshake(Client& client) {
    const net::Clock::time_point deadline = net::deadlineIn(handshakeMilliseconds);
    unsigned char bytes[net::handshakeSize];
    int received = 0;
    while (received < net::handshakeSize) {
        const int left = net::millisecondsLeft(deadline);
        const bool ready = left > 0 && net::waitReadable(client.control, left);
        int got = ready ? net::receiveBytes(client.control, bytes + received, net::handshakeSize - received) : 0;
        if (got <= 0) {
            reportDropped(title, client.address,
                          std::to_string(received) + " of " + std::to_string(net::handshakeSize) + " handshake bytes" +
                              (ready ? ", then closed" : " within " + std::to_string(handshakeMilliseconds / 1000) + " s"));
            return false;
        }
        received += got;
    }
    client.dataPort = net::decodeHandshake(bytes);
    return true;
}

}  // namespace server
