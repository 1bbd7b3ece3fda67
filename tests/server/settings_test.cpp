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

// Reads a settings file holding `body`, given by its full path.
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

}  // namespace

TEST(ServerSettings, ReadIntervalDefaultsToTheClassicHundredMilliseconds) {
    for (const char* body : {"[SERVER]\ncom=1\n", "[SERVER]\ninterval=-5\n", "[SERVER]\ninterval=\n"}) {
        server::PortTimeouts timeouts = timeoutsAfterReading(body);
        EXPECT_EQ(timeouts.readInterval, 100u) << body;
        EXPECT_EQ(timeouts.readTotalMultiplier, 10u) << body;
        EXPECT_EQ(timeouts.readTotalConstant, 500u) << body;
        EXPECT_FALSE(timeouts.returnsOnArrival()) << body;
    }
}

TEST(ServerSettings, ReadIntervalZeroReturnsOnArrivalAndKeepsTheTotalConstant) {
    server::PortTimeouts timeouts = timeoutsAfterReading("[server]\nINTERVAL = 0\n");
    EXPECT_EQ(timeouts.readInterval, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.readTotalMultiplier, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.readTotalConstant, 500u);
    EXPECT_TRUE(timeouts.returnsOnArrival());

    timeouts = timeoutsAfterReading("[SERVER]\ninterval=250\n");
    EXPECT_EQ(timeouts.readInterval, 250u);
    EXPECT_EQ(timeouts.readTotalMultiplier, 10u);
    EXPECT_FALSE(timeouts.returnsOnArrival());
}
