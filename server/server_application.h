// The server program's application object: its settings and listening.
#pragma once

#include <cstdint>

#include "net/tcp_socket.h"
#include "shell/application.h"

namespace server {

class ServerApplication : public shell::Application {
public:
    explicit ServerApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    int32_t comPort = -1;
    char clientHost[128] = "";
    uint32_t listenAddress = 0;
    net::ListenSocket listenSocket;
};

}  // namespace server
