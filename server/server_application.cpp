#include "server/server_application.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "net/protocol.h"
#include "shell/catalogue.h"
#include "shell/frontend.h"
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
}

bool ServerApplication::initNetwork() {
    net::startNetworking();
    listenAddress = 0;
    if (clientHost[0] != '\0') {
        const hostent* host = ::gethostbyname(clientHost);
        if (host != nullptr && host->h_addr_list[0] != nullptr) {
            uint32_t networkOrder;
            std::memcpy(&networkOrder, host->h_addr_list[0], sizeof networkOrder);
            listenAddress = ntohl(networkOrder);
        } else {
            // Not a start-up failure: warn, then listen on every address.
            char text[160];
            std::snprintf(text, sizeof text, "I cannot recognize the client:%s", clientHost);
            shell::showMessageBox("IDC_PUSHBUTTON", text, shell::BoxIcon::warning);
        }
    }
    try {
        listenSocket.open(listenAddress, port);
    } catch (const std::runtime_error&) {
        errorMessageId = shell::messageNetwork;
        return false;
    }
    return true;
}

// The COM port comes with the serial port class.
bool ServerApplication::openSerial() {
    errorMessageId = shell::messageSerial;
    return false;
}

bool ServerApplication::startThreads() { return true; }

std::string ServerApplication::runningNote() const {
    return std::string(title) + ": listening on port " + std::to_string(port);
}

}  // namespace server
