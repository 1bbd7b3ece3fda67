// The "interval" key, on Windows too, where the read time-outs are the
// driver's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "server/server_application.h"

namespace {

// A relative name is read from the current directory.
server::PortTimeouts timeoutsAfterReading(const std::string& body) {
    const char* name = "server-settings-test.ini";
    std::ofstream(name) << body;
    server::ServerApplication app(nullptr);
    app.readSettings(name);
    std::remove(name);
    return app.serialPort.timeouts;
}

TEST(ServerSettings, IntervalKeySetsTheReadTimeOuts) {
    struct Case {
        const char* body;
        uint32_t interval, multiplier;
    };
    const Case cases[] = {
        {"[SERVER]\ncom=1\n", 100, 10},  // missing, negative or empty: the classic 100 ms
        {"[SERVER]\ninterval=-5\n", 100, 10},
        {"[SERVER]\ninterval=\n", 100, 10},
        {"[SERVER]\ninterval=250\n", 250, 10},
        {"[server]\nINTERVAL = 0\n", 0xFFFFFFFF, 0xFFFFFFFF},  // on arrival
    };
    for (const Case& c : cases) {
        server::PortTimeouts timeouts = timeoutsAfterReading(c.body);
        EXPECT_EQ(timeouts.readInterval, c.interval) << c.body;
        EXPECT_EQ(timeouts.readTotalMultiplier, c.multiplier) << c.body;
        EXPECT_EQ(timeouts.readTotalConstant, 500u) << c.body;
        EXPECT_EQ(timeouts.returnsOnArrival(), c.interval == 0xFFFFFFFF) << c.body;
    }
}

}  // namespace
