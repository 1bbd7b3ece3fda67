#include "server/server_application.h"

#include <cstdio>
#include <system_error>

#include "net/resolve.h"
#include "shell/catalogue.h"
#include "shell/frontend.h"
#include "shell/process_end.h"
#include "shell/settings.h"

namespace server {

ServerApplication::ServerApplication(shell::InstanceHandle instance)
    : Application("WIN morvane Server", "WIN morvane Server Class", instance) {}

void ServerApplication::readSettings(const char* fileName) {
    char path[512];
    shell::makeSettingsPath(fileName, path, sizeof path);
    comPort = static_cast<int32_t>(shell::readProfileInt("SERVER", "com", 0, path));
    port = static_cast<uint16_t>(shell::readProfileInt("SERVER", "port", net::defaultPort, path));
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
    uint16_t opening = port;
    try {
        listenSocket.open(listenAddress, port);
        // Listening already, so that a client that comes before the session
        // thread is queued rather than refused.
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

}  // namespace server
