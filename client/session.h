// The client's session: one per run. The session thread connects, starts
// the two pumps and then forwards the port's control requests for ever.
#pragma once

namespace client {

class ClientApplication;

// The session thread. A failure shows its text and ends the process with 1.
void runSession(ClientApplication& app);
// Starts the reader (port to network) and the writer (network to port).
void startPumps(ClientApplication& app);
[[noreturn]] void forwardControlRequests(ClientApplication& app);
// The pumps end silently when a transfer fails.
int pumpDeviceToNetwork(ClientApplication& app);
int pumpNetworkToDevice(ClientApplication& app);

}  // namespace client
