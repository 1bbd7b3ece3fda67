// RFC 2217 com-port commands, translated to and from our control-request
// records: a server replays a client's commands as the records a serial
// driver would issue, and a client turns its port's records into commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/protocol.h"
#include "net/serial_settings.h"

namespace net::rfc2217 {

// Client commands. Both directions share one subnegotiation option, so a
// server's commands (answers and notifications) carry the same number plus
// serverOffset: the number alone says which side sent it.
namespace command {
constexpr unsigned char signature = 0;
constexpr unsigned char setBaudRate = 1;
constexpr unsigned char setDataSize = 2;
constexpr unsigned char setParity = 3;
constexpr unsigned char setStopSize = 4;
constexpr unsigned char setControl = 5;
constexpr unsigned char notifyLineState = 6;
constexpr unsigned char notifyModemState = 7;
constexpr unsigned char flowControlSuspend = 8;
constexpr unsigned char flowControlResume = 9;
constexpr unsigned char setLineStateMask = 10;
constexpr unsigned char setModemStateMask = 11;
constexpr unsigned char purgeData = 12;
}  // namespace command
constexpr unsigned char serverOffset = 100;

// The port a server's commands act on.
class ComPortTarget {
public:
    // Issues one control request as a client's record would; false when refused.
    virtual bool replay(uint32_t ioControlCode, const unsigned char* input, int length) = 0;
    // The settings in effect; false when they cannot be read.
    virtual bool settings(SerialSettings& out) = 0;
    // The modem input lines (net::modemCts...); false when the port has none.
    virtual bool modemLines(uint8_t& lines) = 0;

protected:
    ~ComPortTarget() = default;
};

// The server's side of one session.
class ComPortServer {
public:
    explicit ComPortServer(ComPortTarget& port) : port(port) {}

    // Carries out one command (its number, then its value) and appends the
    // answer, which carries the value in effect afterwards, to `out`. A
    // refused change is answered like a query; nothing is ever fatal.
    void execute(const unsigned char* command, size_t length, std::vector<unsigned char>& out);
    // Commands that change how the line sends (speed, format, break) wait
    // for the data before them; the rest act at once.
    static bool waitsForData(const unsigned char* command, size_t length);
    // PURGE-DATA of the server's transmit buffer (to the line).
    static bool purgesOutput(const unsigned char* command, size_t length);
    // Appends NOTIFY-MODEMSTATE with the lines as they are now (none for a
    // port without modem lines), for a client that does not poll.
    void announceModemState(std::vector<unsigned char>& out);
    // Appends NOTIFY-MODEMSTATE when the modem inputs changed in a way the
    // client's mask selects. A port without modem lines never notifies.
    void pollModemLines(std::vector<unsigned char>& out);
    // The client asked us to hold back what we send (FLOWCONTROL-SUSPEND).
    bool suspended() const { return holdBack; }

private:
    void setControl(unsigned char value, std::vector<unsigned char>& out);
    void replayFlow(const FlowSettings& flow);
    void replayLine(const LineFormat& line);
    bool replayIf(bool wanted, uint32_t ioControlCode, const unsigned char* input = nullptr, int length = 0);
    const SerialSettings& current();
    void answer(unsigned char command, const unsigned char* value, size_t length, std::vector<unsigned char>& out);
    void answer(unsigned char command, unsigned char value, std::vector<unsigned char>& out);

    ComPortTarget& port;
    SerialSettings known;
    // No port reports these back, so they are the last levels it took.
    bool dtr = true;
    bool rts = true;
    bool breakOn = false;
    uint8_t lineStateMask = 0;
    uint8_t modemStateMask = 0xFF;
    int lastModemLines = -1;
    bool withoutModemLines = false;
    bool holdBack = false;
};

// The client's side: one control request in, the matching commands out.
class ComPortClient {
public:
    // Appends the commands for `request` to `out`; false when the request
    // has no RFC 2217 equivalent and is dropped. Line settings and flow
    // control go out only where they differ from what was sent before.
    bool translate(const ControlRequest& request, std::vector<unsigned char>& out);

private:
    bool translateLine(const unsigned char* input, std::vector<unsigned char>& out);
    void translateFlow(const unsigned char* input, std::vector<unsigned char>& out);

    // 0: not sent yet.
    unsigned char dataSize = 0;
    unsigned char parity = 0;
    unsigned char stopSize = 0;
    unsigned char flow = 0;
    unsigned char inboundFlow = 0;
};

}  // namespace net::rfc2217
