// The "interval" key, on Windows too, where the read time-outs are the
// driver's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "server/server_application.h"

TEST(ServerSettings, IntervalKeySetsTheReadTimeOuts) {
    const char* name = "server-settings-test.ini";  // a relative name is read from the current directory
    server::ServerApplication app(nullptr);
    std::ofstream(name) << "[SERVER]\ninterval=-5\n";
    app.readSettings(name);
    EXPECT_EQ(app.serialPort.timeouts.readInterval, 100u);  // negative: the classic 100 ms
    EXPECT_FALSE(app.serialPort.timeouts.returnsOnArrival());
    std::ofstream(name) << "[SERVER]\ninterval=0\n";
    app.readSettings(name);
    EXPECT_TRUE(app.serialPort.timeouts.returnsOnArrival());
    std::remove(name);
}
