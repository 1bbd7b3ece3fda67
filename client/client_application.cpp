#include "client/client_application.h"

#include <cstring>
#include <stdexcept>

#include "net/protocol.h"
#include "shell/catalogue.h"
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
}

bool ClientApplication::initNetwork() {
    if (hostName[0] == '\0') {
        errorMessageId = shell::messageSettings;
        return false;
    }
    net::startNetworking();
    const hostent* host = ::gethostbyname(hostName);
    if (host == nullptr || host->h_addr_list[0] == nullptr) {
        errorMessageId = shell::messageSettings;
        return false;
    }
    uint32_t networkOrder;
    std::memcpy(&networkOrder, host->h_addr_list[0], sizeof networkOrder);
    serverAddress = ntohl(networkOrder);
    try {
        controlSocket.open(0, 0);
    } catch (const std::runtime_error&) {
        errorMessageId = shell::messageNetwork;
        return false;
    }
    return true;
}

// The virtual serial port comes with the driver class.
bool ClientApplication::openSerial() {
    errorMessageId = shell::messageSerial;
    return false;
}

bool ClientApplication::startThreads() { return true; }

std::string ClientApplication::runningNote() const {
    return std::string(title) + ": server " + hostName + " port " + std::to_string(port);
}

}  // namespace client
