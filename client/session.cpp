#include "client/session.h"

#include <stdexcept>
#include <system_error>

#include "client/client_application.h"

namespace client {

void runSession(ClientApplication& app) {
    try {
        if (app.speaksRfc2217) app.rfc2217Session.run(app.serverAddress, app.port);
        app.connectToServer();
        startPumps(app);
        forwardControlRequests(app);
    } catch (const std::runtime_error& error) {
        app.failSession(error.what());
    }
}

void startPumps(ClientApplication& app) {
    try {
        app.deviceToNetThread = std::thread(pumpDeviceToNetwork, std::ref(app));
        app.netToDeviceThread = std::thread(pumpNetworkToDevice, std::ref(app));
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
}

void forwardControlRequests(ClientApplication& app) {
    for (;;) {
        const PortResult result = app.device.waitControl(app.controlBuffer, net::controlBufferSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) throw std::runtime_error("ctrl event error");
        if (result.count == 0) continue;
        if (net::sendBytes(app.controlSocket.handle(), app.controlBuffer, result.count) != result.count)
            throw std::runtime_error("send ioctl error");
    }
}

int pumpDeviceToNetwork(ClientApplication& app) {
    for (;;) {
        const PortResult result = app.device.read(app.deviceReadBuffer, net::chunkSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) return 0;
        if (result.count == 0) continue;
        if (net::sendBytes(app.dataSocket, app.deviceReadBuffer, result.count) != result.count) return 0;
    }
}

int pumpNetworkToDevice(ClientApplication& app) {
    for (;;) {
        const int received = net::receiveBytes(app.dataSocket, app.netReadBuffer, net::chunkSize);
        if (received <= 0) return 0;
        const PortResult result = app.device.write(app.netReadBuffer, received);
        // A write the port refused loses this piece only.
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed || result.count < received) return 0;
    }
}

}  // namespace client
