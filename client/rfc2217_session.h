// The client's side of an RFC 2217 connection, one per session: what
// applications write goes out IAC-escaped, what comes in is unescaped for
// them, and the port's control requests become com-port commands, sent once
// the server agrees to COM-PORT-OPTION. Nothing waits for an answer.
#pragma once

#include <cstddef>
#include <vector>

#include "net/rfc2217.h"
#include "net/telnet_stream.h"

namespace client {

class Rfc2217Link : net::telnet::CommandSink {
public:
    // Appends our opening offers to `out`.
    void begin(std::vector<unsigned char>& out);
    // Appends the commands for `size` bytes of control-request records to
    // `out`, or holds them until the server agrees. Requests without an RFC
    // 2217 equivalent are dropped.
    void commands(const unsigned char* records, int size, std::vector<unsigned char>& out);
    // Decodes received bytes: serial data to `data` (room for `length`), its
    // count returned; negotiation answers, and the held commands once the
    // server agrees, to `out`.
    size_t receive(const unsigned char* in, size_t length, unsigned char* data, std::vector<unsigned char>& out);

private:
    // The server's answers and notifications change nothing here.
    void comPortCommand(const unsigned char*, size_t, size_t) override {}

    net::telnet::TelnetStream stream{net::telnet::TelnetStream::Role::client};
    net::rfc2217::ComPortClient translator;
    std::vector<unsigned char> held;
    bool agreed = false;
};

}  // namespace client
