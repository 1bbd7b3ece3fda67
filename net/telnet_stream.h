// The Telnet layer under RFC 2217: IAC doubling of the data stream, option
// negotiation for BINARY, SUPPRESS-GO-AHEAD and COM-PORT-OPTION, and the
// subnegotiations that carry the com-port commands. No sockets here: the
// owner feeds received bytes in and sends what comes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace net::telnet {

constexpr unsigned char iac = 255;
constexpr unsigned char dont = 254;
constexpr unsigned char doOption = 253;
constexpr unsigned char wont = 252;
constexpr unsigned char will = 251;
constexpr unsigned char sb = 250;
constexpr unsigned char se = 240;

constexpr unsigned char binary = 0;
constexpr unsigned char suppressGoAhead = 3;
constexpr unsigned char comPortOption = 44;

// A subnegotiation longer than this is no com-port command; it is dropped
// whole instead of being collected.
constexpr size_t maxSubnegotiation = 256;

// Receives the com-port subnegotiations, without the option byte, IAC
// undoubled. `dataBefore` serial bytes of the current receive came before
// the command, so that the owner can pass them on first.
class CommandSink {
public:
    virtual void comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) = 0;

protected:
    ~CommandSink() = default;
};

class TelnetStream {
public:
    // The server asks the client to speak COM-PORT-OPTION (DO), the client
    // offers it (WILL); either side accepts the other direction too.
    enum class Role { server, client };
    explicit TelnetStream(Role role);

    // Appends our opening offers to `out`.
    void appendOffers(std::vector<unsigned char>& out);
    // Decodes `length` received bytes, which may end anywhere, even after an
    // IAC. Serial bytes go to `data` (room for `length`) and their count is
    // returned; com-port commands go to `sink`; negotiation answers collect
    // in `answers`, to be sent before anything else.
    size_t receive(const unsigned char* in, size_t length, unsigned char* data, CommandSink& sink);
    std::vector<unsigned char> answers;

    // True once the peer agreed to COM-PORT-OPTION in either direction.
    bool comPortAgreed() const;

    // Doubles every IAC of `length` serial bytes into `out` (room for twice
    // `length`); returns the bytes written.
    static size_t escape(const unsigned char* in, size_t length, unsigned char* out);
    // Appends IAC SB COM-PORT-OPTION command value IAC SE, IACs doubled.
    static void appendCommand(std::vector<unsigned char>& out, unsigned char command, const unsigned char* value,
                              size_t length);

private:
    // One side of one option: the RFC 1143 states without the queue bits.
    enum class Side : unsigned char { no, wantYes, yes };
    struct Option {
        Side ours = Side::no;    // we WILL
        Side theirs = Side::no;  // they WILL
    };
    enum class State : unsigned char { data, command, option, subnegotiation, subnegotiationCommand };

    Option* find(unsigned char option);
    void negotiate(unsigned char verb, unsigned char option);
    void request(unsigned char verb, unsigned char option, Side& side);
    void endSubnegotiation(CommandSink& sink, size_t dataBefore);

    Option binaryOption;
    Option goAheadOption;
    Option comPort;
    const Role role;
    State state = State::data;
    unsigned char verb = 0;
    bool oversize = false;
    std::vector<unsigned char> subnegotiation;
};

}  // namespace net::telnet
