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

struct StreamCase {
    const char* name;
    std::vector<std::string> segments;  // as they arrive, each its own receive
    std::string data;
    std::string answers;
    std::string commands;  // "data bytes before:command|" each
};

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) out += static_cast<char>(value);
    return out;
}

TEST(TelnetStream, SegmentsOfHostileAndOrdinaryInput) {
    const std::string iac = bytes({255});
    const std::string huge = bytes({255, 250, 44, 1}) + std::string(1 << 20, 'x') + bytes({255, 240});
    const StreamCase cases[] = {
        {"doubled IAC split between segments", {"a" + iac, iac + "b"}, "a" + iac + "b", "", ""},
        {"IAC alone at the end of a segment", {"a" + iac, bytes({251, 44}) + "b"}, "ab", bytes({255, 253, 44}), ""},
        {"unknown options refused, once each",
         {bytes({255, 251, 24, 255, 253, 1, 255, 252, 24})},
         "",
         bytes({255, 254, 24, 255, 252, 1}),
         ""},
        {"known option answered once, not in a loop",
         {bytes({255, 253, 0, 255, 253, 0, 255, 254, 0, 255, 254, 0})},
         "",
         bytes({255, 251, 0, 255, 252, 0}),
         ""},
        {"command split with a doubled IAC in its value",
         {bytes({255, 250, 44, 1, 0, 0, 1, 255}), bytes({255, 255}), bytes({240}) + "z"},
         "z",
         "",
         "0:" + bytes({1, 0, 0, 1, 255}) + "|"},
        {"1 MiB subnegotiation dropped, stream goes on", {huge + "ok"}, "ok", "", ""},
        {"truncated subnegotiation dropped, next one taken",
         {"d" + bytes({255, 250, 44, 1, 0, 255, 250, 44, 5, 7, 255, 240}) + "e"},
         "de",
         "",
         "1:" + bytes({5, 7}) + "|"},
        {"other options' subnegotiations and NOP ignored",
         {bytes({255, 250, 24, 1, 255, 240, 'p', 255, 241, 'q'})},
         "pq",
         "",
         ""},
    };
    for (const StreamCase& c : cases) {
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
