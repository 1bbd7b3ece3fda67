// A negative "interval" keeps the classic read time-outs (100 ms between
// bytes, 10 ms a byte), on Windows too, where they are the driver's own.
// Zero: server_e2e_test.py.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "server/server_application.h"

TEST(ServerSettings, NegativeIntervalKeepsTheDefault) {
    // A relative name is read from the current directory.
    std::ofstream("server-settings-test.ini") << "[SERVER]\ninterval=-5\n";
    server::ServerApplication app(nullptr);
    app.readSettings("server-settings-test.ini");
    std::remove("server-settings-test.ini");
    EXPECT_EQ(app.portTimeouts().readInterval, 100u);
    EXPECT_EQ(app.portTimeouts().readTotalMultiplier, 10u);
}
