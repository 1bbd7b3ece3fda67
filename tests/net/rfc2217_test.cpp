#include "net/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/serial_codes.h"
#include "net/telnet_stream.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(const unsigned char* data, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += {"0123456789abcdef"[data[i] >> 4], "0123456789abcdef"[data[i] & 15]};
    return text;
}

// The com-port commands in `out`, as a peer's Telnet layer would take them.
struct Commands : net::telnet::CommandSink {
    explicit Commands(const Bytes& out) {
        net::telnet::TelnetStream peer(net::telnet::TelnetStream::Role::client);
        Bytes data(out.size());
        peer.receive(out.data(), out.size(), data.data(), *this);
    }
    void comPortCommand(const unsigned char* bytes, size_t length, size_t) override { seen += hex(bytes, length) + " "; }
    std::string seen;
};

// 115200 baud, 5 data bits, odd parity, 1.5 stop bits, RTS/CTS; CTS, DSR and CD on.
struct FakePort : net::rfc2217::ComPortTarget {
    bool replay(uint32_t code, const unsigned char* input, int length) override {
        const auto low = static_cast<unsigned char>(code);
        asked += hex(&low, 1) + ":" + hex(input, static_cast<size_t>(length)) + " ";
        return true;
    }
    bool settings(net::SerialSettings& out) override { return (out = now), true; }
    bool modemLines(uint8_t& lines) override { return (lines = 0xB0), true; }
    const net::SerialSettings now{115200, {net::stopOneAndHalf, net::parityOdd, 5}, {true, false, false}};
    std::string asked;  // the code's low byte: its input
};

TEST(Rfc2217, ServerCarriesOutEachCommand) {
    struct Case {
        std::vector<Bytes> commands;
        std::string asked, answers;
        bool suspended = false;  // after the last command
    };
    const Case cases[] = {
        {{{1, 0, 0, 0x25, 0x80}, {1, 0, 0, 0, 0}}, "04:80250000 ", "650001c200 650001c200 "},
        {{{2, 8}, {2, 4}, {3, 3}, {4, 2}, {4, 3}}, "0c:010108 0c:010205 0c:020105 0c:010105 ",
         "6605 6605 6702 6803 6803 "},
        {{{5, 2}, {5, 0}}, "64:01000000430000000008000000020000 ", "6903 6903 "},
        {{{5, 9}, {5, 7}, {5, 3}}, "28: 64:08000000800000000008000000020000 ", "6909 6909 6903 "},
        {{{5, 5}, {5, 4}, {5, 6}, {5, 12}, {5, 10}, {5, 11}}, "10: 14: 34: 30: ", "6905 6905 6906 690c 690c 690b "},
        {{{5, 15}, {5, 13}, {5, 14}, {5, 16}},
         "64:09000000820000000008000000020000 64:01000000400000000008000000020000 "
         "64:09000000800000000008000000020000 ",
         "6910 6910 6910 6910 "},
        {{{7}, {11, 0x30}, {7}, {10, 0x12}, {0}}, "", "6bb0 6f30 6b30 6e12 646d6f7276616e65 "},
        {{{12, 1}, {12, 2}, {12, 3}, {12, 0}, {8}, {9}}, "4c:08000000 4c:04000000 4c:0c000000 ",
         "7001 7002 7003 7000 "},
        {{{6, 1}, {42, 1}, {2}, {0, 'x'}, {8}}, "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hex(c.commands[0].data(), c.commands[0].size()));
        FakePort port;
        net::rfc2217::ComPortServer server(port);
        Bytes out;
        for (const Bytes& command : c.commands) server.execute(command.data(), command.size(), out);
        EXPECT_EQ(port.asked, c.asked);
        EXPECT_EQ(Commands(out).seen, c.answers);
        EXPECT_EQ(server.suspended(), c.suspended);
    }
}

TEST(Rfc2217, ClientTurnsRequestsIntoCommands) {
    struct Case {
        std::vector<std::pair<uint32_t, Bytes>> requests;
        std::string taken, commands;  // taken: 1 or 0 for each request
    };
    using namespace net::code;
    const Case cases[] = {
        {{{setBaudRate, {0x80, 0x25, 0, 0}}, {setBaudRate, {0, 0, 0, 0}}}, "10", "0100002580 "},
        {{{setLineControl, {0, 0, 8}}, {setLineControl, {0, 2, 8}}, {setLineControl, {1, 4, 5}},
          {setLineControl, {2, 0, 9}}},
         "1110", "0208 0301 0401 0303 0205 0305 0403 "},
        {{{setHandflow, {8, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
          {setHandflow, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, {setHandflow, Bytes(16)}},
         "111", "0503 0502 050e 0501 "},
        {{{setBreakOn, {}}, {setBreakOff, {}}, {setDtr, {}}, {clrDtr, {}}, {setRts, {}}, {clrRts, {}}}, "111111",
         "0505 0506 0508 0509 050b 050c "},
        {{{setModemControl, {1, 0, 0, 0}}, {setModemControl, {2, 0}}, {getBaudRate, {}}}, "100", "0508 050c "},
        {{{purge, {8, 0, 0, 0}}, {purge, {1, 0, 0, 0}}, {purge, {0x0F, 0, 0, 0}}, {purge, {0x30, 0, 0, 0}}},
         "1110", "0c01 0c02 0c03 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands);
        net::rfc2217::ComPortClient client;
        Bytes out;
        std::string taken;
        for (const auto& [code, input] : c.requests)
            taken += client.translate({code, input.data(), static_cast<int>(input.size())}, out) ? "1" : "0";
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(Commands(out).seen, c.commands);
    }
}

}  // namespace
