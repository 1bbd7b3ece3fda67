// The "interval" key, on Windows too, where the read time-outs are the
// driver's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "server/server_application.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

server::PortTimeouts timeoutsAfterReading(const std::string& body) {
#ifdef _WIN32
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    std::string path = std::string(directory) + "morvane-server-settings.ini";
#else
    std::string path = "/tmp/morvane-server-settings-" + std::to_string(::getpid()) + ".ini";
#endif
    std::ofstream(path) << body;
    server::ServerApplication app(nullptr);
    app.readSettings(path.c_str());
    std::remove(path.c_str());
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
