// The client's sessions. The session thread connects, watches the control
// connection until the session ends, and with "reconnect" set starts the next
// one. Either connection ending, or a send on it failing, ends the session
// for every thread at once.
#pragma once

#include <string>

namespace client {

class ClientApplication;

constexpr const char* closedText = "server closed the connection";
constexpr const char* lostText = "server lost";

// Why a receive shows the connection ended, or null while it lives.
const char* receiveEnd(int received);

// The session thread. A session error without "reconnect", or a failure of
// the port itself, shows its text and ends the process with 1.
void runSession(ClientApplication& app);
// Connects and starts the session's threads; returns why that failed, or
// the empty string once data can flow (saying so after a lost session).
std::string openSession(ClientApplication& app, bool afterLoss);
// Waits for the session's end, stops its threads, closes its connections
// and returns why it ended.
std::string awaitSessionEnd(ClientApplication& app);
// Any thread: ends the running session (the first reason is kept).
void endSession(ClientApplication& app, const char* reason);

// The port's control requests and written bytes, for the rest of the run;
// while no session runs they are taken from the port and dropped.
int forwardControlRequests(ClientApplication& app);
int pumpDeviceToNetwork(ClientApplication& app);
// The session's bytes from the server, to the port.
int pumpNetworkToDevice(ClientApplication& app);

}  // namespace client
