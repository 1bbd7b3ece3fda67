#include "client/client_application.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

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
    serverPort = static_cast<uint16_t>(shell::readProfileInt("CLIENT", "port", net::defaultPort, path));
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
        // Each session opens its own; this one only shows that sockets can be had.
        net::ConnectSocket probe;
        probe.open(0, 0);
        probe.close(net::shutdownBoth);
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

void ClientApplication::startThread(std::thread& thread, void (ClientApplication::*function)()) {
    try {
        thread = std::thread(function, this);
    } catch (const std::system_error&) {
        failSession("create thread error");
    }
}

void ClientApplication::runSession() {
    bool lost = false;
    for (;;) {
        bool ran = false;
        const std::string why = runOneSession(lost, ran);
        if (reconnectSeconds == 0) failSession(why.c_str());
        if (ran || !lost)
            shell::showConsoleLine(std::string(title) + ": " + why + "; trying again every " +
                                   std::to_string(reconnectSeconds) + " s");
        lost = true;
        // A session that ran is tried again at once, a failed attempt
        // after the set time; EXIT ends the process meanwhile.
        if (!ran) std::this_thread::sleep_for(std::chrono::seconds(reconnectSeconds));
    }
}

std::string ClientApplication::runOneSession(bool afterLoss, bool& ran) {
    Session session(device, serverAddress, serverPort, speaksRfc2217);
    std::string why = session.connect();
    if (!why.empty()) return why;
    uint64_t discarded;
    if (!handOver(session, discarded)) return lostText;
    if (afterLoss)
        shell::showConsoleLine(std::string(title) + ": connected again; " + std::to_string(discarded) +
                               " bytes written meanwhile were discarded");
    if (!session.start()) failSession("create thread error");
    if (!deviceToNetThread.joinable()) {
        startThread(deviceToNetThread, &ClientApplication::pumpDeviceToNetwork);
        startThread(controlThread, &ClientApplication::forwardControlRequests);
    }
    ran = true;
    why = session.run();
    takeBack();
    return why;
}

bool ClientApplication::handOver(Session& session, uint64_t& discarded) {
    {
        // The settings the port has now go first, as they did at the start.
        std::lock_guard<std::mutex> lock(controlMutex);
        unsigned char settings[SettingsMemory::replaySize];
        const size_t size = portSettings.replay(settings);
        if (!session.sendRecords(settings, static_cast<int>(size))) return false;
        controlSession = &session;
    }
    std::lock_guard<std::mutex> lock(dataMutex);
    dataSession = &session;
    discarded = std::exchange(discardedBytes, 0);
    return true;
}

void ClientApplication::takeBack() {
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        dataSession = nullptr;
    }
    std::lock_guard<std::mutex> lock(controlMutex);
    controlSession = nullptr;
}

void ClientApplication::forwardControlRequests() {
    for (;;) {
        const PortResult result = device.waitControl(controlBuffer, net::controlBufferSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) failSession("ctrl event error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(controlMutex);
        portSettings.note(controlBuffer, result.count);
        if (controlSession != nullptr && !controlSession->sendRecords(controlBuffer, result.count))
            controlSession->end("send ioctl error");
    }
}

void ClientApplication::pumpDeviceToNetwork() {
    for (;;) {
        const PortResult result = device.read(deviceReadBuffer, net::largeChunkSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) failSession("read device error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(dataMutex);
        if (dataSession != nullptr && dataSession->sendData(deviceReadBuffer, result.count)) continue;
        // Like bytes sent down an unplugged cable.
        if (dataSession != nullptr) dataSession->end(lostText);
        discardedBytes += static_cast<uint64_t>(result.count);
    }
}

std::string ClientApplication::runningNote() const {
    return std::string(title) + ": virtual port " + device.describe() + ", server " +
           net::dottedAddress(serverAddress) + ":" + std::to_string(serverPort);
}

}  // namespace client
