#include "client/session.h"

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "client/client_application.h"
#include "client/rfc2217_session.h"
#include "shell/frontend.h"

namespace client {

const char* receiveEnd(int received) {
    if (received > 0 || (received < 0 && net::lastErrorWouldBlock())) return nullptr;
    return received == 0 ? closedText : lostText;
}

namespace {

void startThread(std::thread& thread, int (*function)(ClientApplication&), ClientApplication& app) {
    try {
        thread = std::thread(function, std::ref(app));
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

// Sends control-request records as the protocol has them: unchanged, or as
// RFC 2217 commands. The caller holds controlMutex.
bool sendRecords(ClientApplication& app, const unsigned char* records, int size) {
    if (!app.speaksRfc2217) return size == 0 || net::sendAll(app.controlSocket.handle(), records, size);
    std::vector<unsigned char> commands;
    app.rfc2217->commands(records, size, commands);
    return commands.empty() ||
           net::sendAll(app.controlSocket.handle(), commands.data(), static_cast<int>(commands.size()));
}

// An RFC 2217 session starts with a fresh Telnet state and our offers.
bool beginRfc2217(ClientApplication& app) {
    if (!app.speaksRfc2217) return true;
    std::vector<unsigned char> offers;
    app.rfc2217.emplace().begin(offers);
    return net::sendAll(app.controlSocket.handle(), offers.data(), static_cast<int>(offers.size()));
}

// Ends what a session left: its writer joined, both connections taken from
// the port's side and closed.
void closeSession(ClientApplication& app) {
    endSession(app, lostText);
    if (app.netToDeviceThread.joinable()) app.netToDeviceThread.join();
    {
        std::lock_guard<std::mutex> lock(app.dataMutex);
        app.dataUp = false;
    }
    {
        std::lock_guard<std::mutex> lock(app.controlMutex);
        app.controlUp = false;
    }
    std::lock_guard<std::mutex> lock(app.endMutex);
    app.controlEvent.reset();
    app.dataEvent.reset();
    app.closeConnections();
}

}  // namespace

void runSession(ClientApplication& app) {
    try {
        bool lost = false;
        for (;;) {
            std::string why = openSession(app, lost);
            const bool ran = why.empty();
            if (ran) why = awaitSessionEnd(app);
            if (app.reconnectSeconds == 0) app.failSession(why.c_str());
            if (ran || !lost)
                shell::showConsoleLine(std::string(app.title) + ": " + why + "; trying again every " +
                                       std::to_string(app.reconnectSeconds) + " s");
            lost = true;
            // A session that ran is tried again at once, a failed attempt
            // after the set time; EXIT ends the process meanwhile.
            if (!ran) std::this_thread::sleep_for(std::chrono::seconds(app.reconnectSeconds));
        }
    } catch (const std::runtime_error& error) {
        app.failSession(error.what());
    }
}

std::string openSession(ClientApplication& app, bool afterLoss) {
    app.ending = false;
    try {
        app.connectToServer();
        std::lock_guard<std::mutex> lock(app.endMutex);
        app.controlEvent = watch(app.controlSocket.handle());
        if (!app.speaksRfc2217) app.dataEvent = watch(app.dataSocket);
    } catch (const std::runtime_error& error) {
        closeSession(app);
        return error.what();
    }
    bool settingsSent;
    {
        // The settings the port has now go first, as they did at the start.
        std::lock_guard<std::mutex> lock(app.controlMutex);
        unsigned char settings[SettingsMemory::replaySize];
        const size_t size = app.portSettings.replay(settings);
        settingsSent = beginRfc2217(app) && sendRecords(app, settings, static_cast<int>(size));
        app.controlUp = settingsSent;
    }
    if (!settingsSent) {
        closeSession(app);
        return lostText;
    }
    uint64_t discarded;
    {
        std::lock_guard<std::mutex> lock(app.dataMutex);
        app.dataUp = true;
        discarded = app.discardedBytes;
        app.discardedBytes = 0;
    }
    if (afterLoss)
        shell::showConsoleLine(std::string(app.title) + ": connected again; " + std::to_string(discarded) +
                               " bytes written meanwhile were discarded");
    app.device.allowWrites();
    // An RFC 2217 session's one connection is read by the session thread.
    if (!app.speaksRfc2217) startThread(app.netToDeviceThread, pumpNetworkToDevice, app);
    if (!app.deviceToNetThread.joinable()) {
        startThread(app.deviceToNetThread, pumpDeviceToNetwork, app);
        startThread(app.controlThread, forwardControlRequests, app);
    }
    return "";
}

std::string awaitSessionEnd(ClientApplication& app) {
    // Nothing comes on the control connection but its end. The waits end
    // with the connection (keepalive bounds a silent peer) or endSession.
    unsigned char ignored[16];
    if (app.speaksRfc2217) carryRfc2217Input(app);
    while (!app.ending) {
        if (!app.controlEvent->wait()) {
            endSession(app, lostText);
        } else if (const char* end = receiveEnd(net::receiveBytes(app.controlSocket.handle(), ignored, sizeof ignored))) {
            endSession(app, end);
        }
    }
    closeSession(app);
    std::lock_guard<std::mutex> lock(app.endMutex);
    return app.endReason;
}

void endSession(ClientApplication& app, const char* reason) {
    std::lock_guard<std::mutex> lock(app.endMutex);
    if (app.ending.exchange(true)) return;
    app.endReason = reason;
    // Wakes every wait of the session: receives, sends, and the writer's
    // wait on the port.
    ::shutdown(app.controlSocket.handle(), net::shutdownBoth);
    ::shutdown(app.dataSocket, net::shutdownBoth);
    if (app.controlEvent) app.controlEvent->wake();
    if (app.dataEvent) app.dataEvent->wake();
    app.device.stopWrites();
}

int forwardControlRequests(ClientApplication& app) {
    for (;;) {
        const PortResult result = app.device.waitControl(app.controlBuffer, net::controlBufferSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) app.failSession("ctrl event error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(app.controlMutex);
        app.portSettings.note(app.controlBuffer, result.count);
        if (app.controlUp && !sendRecords(app, app.controlBuffer, result.count))
            endSession(app, "send ioctl error");
    }
}

int pumpDeviceToNetwork(ClientApplication& app) {
    for (;;) {
        const PortResult result = app.device.read(app.deviceReadBuffer, net::largeChunkSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) app.failSession("read device error");
        if (result.count == 0) continue;
        std::lock_guard<std::mutex> lock(app.dataMutex);
        if (app.dataUp && (app.speaksRfc2217 ? sendRfc2217Data(app, app.deviceReadBuffer, result.count)
                                             : net::sendAll(app.dataSocket, app.deviceReadBuffer, result.count)))
            continue;
        // Like bytes sent down an unplugged cable.
        if (app.dataUp) endSession(app, lostText);
        app.discardedBytes += static_cast<uint64_t>(result.count);
    }
}

int pumpNetworkToDevice(ClientApplication& app) {
    // Its waits end as the session thread's do.
    while (!app.ending) {
        // Receive first and wait only when nothing is pending: a busy
        // connection then costs one call per piece.
        const int received = net::receiveBytes(app.dataSocket, app.netReadBuffer, net::largeChunkSize);
        if (received < 0 && net::lastErrorWouldBlock()) {
            if (!app.dataEvent->wait()) endSession(app, lostText);
            continue;
        }
        if (const char* end = receiveEnd(received)) {
            endSession(app, end);
            break;
        }
        const PortResult result = app.device.write(app.netReadBuffer, received);
        // A write the port refused loses this piece only.
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed || result.count < received) endSession(app, "write device error");
    }
    return 0;
}

}  // namespace client
