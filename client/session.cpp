#include "client/session.h"

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "client/client_application.h"
#include "client/rfc2217_session.h"
#include "net/send_all.h"
#include "shell/frontend.h"

namespace client {

const char* receiveEnd(int received) {
    if (received > 0 || (received < 0 && net::lastErrorWouldBlock())) return nullptr;
    return received == 0 ? closedText : lostText;
}

namespace {

void startThread(std::thread& thread, void (ClientApplication::*function)(), ClientApplication& app) {
    try {
        thread = std::thread(function, &app);
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
}

std::unique_ptr<net::NetEvent> watch(net::SocketHandle sock) {
    std::unique_ptr<net::NetEvent> event(new net::NetEvent(sock));
    event->create();
    event->select(net::netEventRead | net::netEventClose);
    return event;
}

}  // namespace

// Sends control-request records as the protocol has them: unchanged, or as
// RFC 2217 commands. The caller holds controlMutex.
bool ClientApplication::sendRecords(const unsigned char* records, int size) {
    if (!speaksRfc2217) return size == 0 || net::sendAll(controlSocket.handle(), records, size);
    std::vector<unsigned char> commands;
    rfc2217->commands(records, size, commands);
    return commands.empty() ||
           net::sendAll(controlSocket.handle(), commands.data(), static_cast<int>(commands.size()));
}

// An RFC 2217 session starts with a fresh Telnet state and our offers.
bool ClientApplication::beginRfc2217() {
    if (!speaksRfc2217) return true;
    std::vector<unsigned char> offers;
    rfc2217.emplace().begin(offers);
    return net::sendAll(controlSocket.handle(), offers.data(), static_cast<int>(offers.size()));
}

// Ends what a session left: its writer joined, both connections taken from
// the port's side and closed.
void ClientApplication::closeSession() {
    endSession(lostText);
    if (netToDeviceThread.joinable()) netToDeviceThread.join();
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        dataUp = false;
    }
    {
        std::lock_guard<std::mutex> lock(controlMutex);
        controlUp = false;
    }
    std::lock_guard<std::mutex> lock(endMutex);
    controlEvent.reset();
    dataEvent.reset();
    closeConnections();
}

void ClientApplication::runSession() {
    try {
        bool lost = false;
        for (;;) {
            std::string why = openSession(lost);
            const bool ran = why.empty();
            if (ran) why = awaitSessionEnd();
            if (reconnectSeconds == 0) failSession(why.c_str());
            if (ran || !lost)
                shell::showConsoleLine(std::string(title) + ": " + why + "; trying again every " +
                                       std::to_string(reconnectSeconds) + " s");
            lost = true;
            // A session that ran is tried again at once, a failed attempt
            // after the set time; EXIT ends the process meanwhile.
            if (!ran) std::this_thread::sleep_for(std::chrono::seconds(reconnectSeconds));
        }
    } catch (const std::runtime_error& error) {
        failSession(error.what());
    }
}

std::string ClientApplication::openSession(bool afterLoss) {
    ending = false;
    try {
        connectToServer();
        std::lock_guard<std::mutex> lock(endMutex);
        controlEvent = watch(controlSocket.handle());
        if (!speaksRfc2217) dataEvent = watch(dataSocket);
    } catch (const std::runtime_error& error) {
        closeSession();
        return error.what();
    }
    bool settingsSent;
    {
        // The settings the port has now go first, as they did at the start.
        std::lock_guard<std::mutex> lock(controlMutex);
        unsigned char settings[SettingsMemory::replaySize];
        const size_t size = portSettings.replay(settings);
        settingsSent = beginRfc2217() && sendRecords(settings, static_cast<int>(size));
        controlUp = settingsSent;
    }
    if (!settingsSent) {
        closeSession();
        return lostText;
    }
    uint64_t discarded;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        dataUp = true;
        discarded = discardedBytes;
        discardedBytes = 0;
    }
    if (afterLoss)
        shell::showConsoleLine(std::string(title) + ": connected again; " + std::to_string(discarded) +
                               " bytes written meanwhile were discarded");
    device.allowWrites();
    // An RFC 2217 session's one connection is read by the session thread.
    if (!speaksRfc2217) startThread(netToDeviceThread, &ClientApplication::pumpNetworkToDevice, *this);
    if (!deviceToNetThread.joinable()) {
        startThread(deviceToNetThread, &ClientApplication::pumpDeviceToNetwork, *this);
        startThread(controlThread, &ClientApplication::forwardControlRequests, *this);
    }
    return "";
}

std::string ClientApplication::awaitSessionEnd() {
    // Nothing comes on the control connection but its end. The waits end
    // with the connection (keepalive bounds a silent peer) or endSession.
    unsigned char ignored[16];
    if (speaksRfc2217) carryRfc2217Input();
    while (!ending) {
        if (!controlEvent->wait()) {
            endSession(lostText);
        } else if (const char* end = receiveEnd(net::receiveBytes(controlSocket.handle(), ignored, sizeof ignored))) {
            endSession(end);
        }
    }
    closeSession();
    std::lock_guard<std::mutex> lock(endMutex);
    return endReason;
}

void ClientApplication::endSession(const char* reason) {
    std::lock_guard<std::mutex> lock(endMutex);
    if (ending.exchange(true)) return;
    endReason = reason;
    // Wakes every wait of the session: receives, sends, and the writer's
    // wait on the port.
    ::shutdown(controlSocket.handle(), net::shutdownBoth);
    ::shutdown(dataSocket, net::shutdownBoth);
    if (controlEvent) controlEvent->wake();
    if (dataEvent) dataEvent->wake();
    device.stopWrites();
}

void ClientApplication::forwardControlRequests() {
    for (;;) {
        const PortResult result = device.waitControl(controlBuffer, net::controlBufferSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) failSession("ctrl event error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(controlMutex);
        portSettings.note(controlBuffer, result.count);
        if (controlUp && !sendRecords(controlBuffer, result.count))
            endSession("send ioctl error");
    }
}

void ClientApplication::pumpDeviceToNetwork() {
    for (;;) {
        const PortResult result = device.read(deviceReadBuffer, net::largeChunkSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) failSession("read device error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(dataMutex);
        if (dataUp && (speaksRfc2217 ? sendRfc2217Data(deviceReadBuffer, result.count)
                                             : net::sendAll(dataSocket, deviceReadBuffer, result.count)))
            continue;
        // Like bytes sent down an unplugged cable.
        if (dataUp) endSession(lostText);
        discardedBytes += static_cast<uint64_t>(result.count);
    }
}

void ClientApplication::pumpNetworkToDevice() {
    // Its waits end as the session thread's do.
    while (!ending) {
        // Receive first and wait only when nothing is pending: a busy
        // connection then costs one call per piece.
        const int received = net::receiveBytes(dataSocket, netReadBuffer, net::largeChunkSize);
        if (received < 0 && net::lastErrorWouldBlock()) {
            if (!dataEvent->wait()) endSession(lostText);
            continue;
        }
        if (const char* end = receiveEnd(received)) {
            endSession(end);
            break;
        }
        writeToDevice(netReadBuffer, received);
    }
}

void ClientApplication::writeToDevice(const unsigned char* data, int count) {
    const PortResult result = device.write(data, count, speaksRfc2217 ? controlSocket.handle() : dataSocket);
    if (result.status == PortResult::failed || (result.status == PortResult::done && result.count < count))
        endSession("write device error");
}

}  // namespace client
