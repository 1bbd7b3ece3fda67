#include "net/telnet_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using net::telnet::TelnetStream;

struct Commands : net::telnet::CommandSink {
    void comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) override {
        seen += std::to_string(dataBefore) + ":" + std::string(reinterpret_cast<const char*>(command), length) + "|";
    }
    std::string seen;
};

std::string bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

// A doubled IAC cut in two, unknown options and a 1 MiB subnegotiation go
// through a real server in end_to_end_test.py (Peers).
TEST(TelnetStream, SegmentsOfHostileInput) {
    struct Case {
        const char* name;
        std::vector<std::string> segments;  // as they arrive, each its own receive
        std::string data, answers, commands;  // commands: "data bytes before:command|" each
    };
    const Case cases[] = {
        {"refusals and answers once, not in a loop",
         {bytes({255, 251, 24, 255, 252, 24, 255, 253, 0, 255, 253, 0, 255, 254, 0, 255, 254, 0, 255, 251, 0})}, "",
         bytes({255, 254, 24, 255, 251, 0, 255, 252, 0, 255, 253, 0}), ""},
        {"command split with a doubled IAC in its value",
         {bytes({255, 250, 44, 1, 0, 0, 1, 255}), bytes({255, 255}), bytes({240}) + "z"}, "z", "",
         "0:" + bytes({1, 0, 0, 1, 255}) + "|"},
        {"other options' subnegotiations, NOP and a cut short command dropped, the next taken",
         {bytes({255, 250, 24, 1, 255, 240, 'p', 255, 241, 'q', 255, 250, 44, 1, 0, 255, 250, 44, 5, 7, 255, 240})},
         "pq", "", "2:" + bytes({5, 7}) + "|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TelnetStream stream(TelnetStream::Role::server);
        Commands sink;
        std::string data;
        for (const std::string& segment : c.segments) {
            std::vector<unsigned char> out(segment.size());
            size_t count = stream.receive(reinterpret_cast<const unsigned char*>(segment.data()), segment.size(),
                                          out.data(), sink);
            data.append(reinterpret_cast<const char*>(out.data()), count);
        }
        EXPECT_EQ(data, c.data);
        EXPECT_EQ(std::string(stream.answers.begin(), stream.answers.end()), c.answers);
        EXPECT_EQ(sink.seen, c.commands);
    }
}

}  // namespace
