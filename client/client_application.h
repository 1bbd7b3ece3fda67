// The client program's application object: its settings and the server.
#pragma once

#include <cstdint>

#include "net/tcp_socket.h"
#include "shell/application.h"

namespace client {

class ClientApplication : public shell::Application {
public:
    explicit ClientApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    int32_t comNumber = -1;
    char hostName[128] = "";
    uint32_t serverAddress = 0;
    net::ConnectSocket controlSocket;
};

}  // namespace client
