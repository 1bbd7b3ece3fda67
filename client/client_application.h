// The client program's application object: what outlives a session (its
// settings, the server's address, the virtual serial port and the port's
// threads) and the session thread that runs one Session after another.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client/session.h"
#include "client/settings_memory.h"
#include "client/virtual_port.h"
#include "net/protocol.h"
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

private:
    // The session thread. With "reconnect" set it starts the next session
    // once one ends; a session error without it, or a failure of the port
    // itself, shows its text and ends the process with 1.
    void runSession();
    // One session, from the connect to its end; returns why it ended, and in
    // `ran` whether data flowed (saying so after a lost session).
    std::string runOneSession(bool afterLoss, bool& ran);
    void startThread(std::thread& thread, void (ClientApplication::*function)());

    // The port's reader and control forwarder serve it for the whole run,
    // also between sessions, when what they take from it is dropped.
    void forwardControlRequests();
    void pumpDeviceToNetwork();
    // Hands the port's threads the session once it has the port's settings
    // (false when their send failed), with the bytes dropped since the last;
    // takeBack() ends that.
    bool handOver(Session& session, uint64_t& discarded);
    void takeBack();

    int32_t comNumber = -1;
    char hostName[128] = "";
    // The "protocol" setting: native, or rfc2217 (one connection, Telnet).
    char protocolName[16] = "native";
    bool speaksRfc2217 = false;
    // Seconds between attempts to start a new session; 0: one session per run.
    uint32_t reconnectSeconds = 0;
    // Linux only: where the port is published, and what the pty cannot hold.
    char devicePath[512] = "";
    char lineText[16] = "";
    // Linux only: the port's group and mode ("group", "mode").
    char groupName[64] = "";
    char modeText[16] = "";
    uint32_t serverAddress = 0;
    uint16_t serverPort = 0;
    VirtualPort device;
    std::thread sessionThread;
    std::thread deviceToNetThread;
    std::thread controlThread;
    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char deviceReadBuffer[net::largeChunkSize] = {};

    // The hand-over to the port's threads: each sends through its session
    // pointer, under its own lock, so that the session thread never destroys
    // a session in use. Lock order: dataMutex or controlMutex (never both),
    // then the session's sendMutex, then its latch's. The reader's send may
    // wait on a full connection; a control request must not wait behind it.
    std::mutex dataMutex;
    Session* dataSession = nullptr;
    uint64_t discardedBytes = 0;
    std::mutex controlMutex;
    Session* controlSession = nullptr;
    SettingsMemory portSettings;
};

}  // namespace client
