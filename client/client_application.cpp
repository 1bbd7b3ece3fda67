#include "client/client_application.h"

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
    shell::readProfileString("CLIENT", "device", "", devicePath, sizeof devicePath, path);
    shell::readProfileString("CLIENT", "line", defaultLine, lineText, sizeof lineText, path);
}

bool ClientApplication::initNetwork() {
    speaksRfc2217 = std::strcmp(protocolName, "rfc2217") == 0;
    if (hostName[0] == '\0' || (!speaksRfc2217 && std::strcmp(protocolName, "native") != 0)) {
        errorMessageId = shell::messageSettings;
        return false;
    }
    net::startNetworking();
    const std::optional<uint32_t> address = net::resolveFirstAddress(hostName);
    if (!address) {
        errorMessageId = shell::messageSettings;
        return false;
    }
    serverAddress = *address;
    try {
        controlSocket.open(0, 0);
    } catch (const std::runtime_error&) {
        errorMessageId = shell::messageNetwork;
        return false;
    }
    return true;
}

bool ClientApplication::openSerial() {
    PortOptions options;
    options.comNumber = comNumber;
    options.devicePath = devicePath;
    // A "line" the port could never have is a mistake in the settings file.
    if (!parseLineFormat(lineText, options.line)) {
        errorMessageId = shell::messageSettings;
        return false;
    }
    if (!device.open(options)) {
        errorMessageId = shell::messageSerial;
        return false;
    }
    shell::atProcessEnd([this] { device.withdraw(); });
    return true;
}

bool ClientApplication::startThreads() {
    if (!device.createEvents()) {
        errorMessageId = shell::messageThread;
        return false;
    }
    try {
        sessionThread = std::thread(runSession, std::ref(*this));
    } catch (const std::system_error&) {
        errorMessageId = shell::messageThread;
        return false;
    }
    return true;
}

void ClientApplication::connectToServer() {
    net::setSessionOptions(controlSocket.handle());
    if (!controlSocket.connect(serverAddress, port)) throw std::runtime_error("connect connect error");
    listenSocket.open(0, 0);
    // Listening before the port goes out: the server connects back at once,
    // and only once.
    listenSocket.listen(1);
    unsigned char wire[net::handshakeSize];
    net::encodeHandshake(listenSocket.localPort(), wire);
    std::memcpy(&dataPortWire, wire, sizeof wire);
    if (net::sendBytes(controlSocket.handle(), wire, sizeof wire) != sizeof wire)
        throw std::runtime_error("write portNo error");
    dataSocket = listenSocket.accept(dataPeer);
    net::setSessionOptions(dataSocket);
}

std::string ClientApplication::runningNote() const {
    const std::string address = std::to_string(serverAddress >> 24) + "." + std::to_string((serverAddress >> 16) & 0xFF) +
                                "." + std::to_string((serverAddress >> 8) & 0xFF) + "." +
                                std::to_string(serverAddress & 0xFF);
    return std::string(title) + ": virtual port " + device.describe() + ", server " + address + ":" +
           std::to_string(port);
}

}  // namespace client
