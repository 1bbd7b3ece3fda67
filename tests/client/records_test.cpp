#include <gtest/gtest.h>

#include <vector>

#include "client/control_records.h"
#include "client/line_format.h"

// Records built from a real pseudo-terminal's changes: virtual_port_test.cpp.

TEST(LineFormat, TakesWhatASerialDriverAcceptsAndKeepsTheOldValueOtherwise) {
    struct Case {
        const char* text;
        int wordLength, parity, stopBits;
    };
    for (const Case& c : {Case{"8N1", 8, 0, 0}, Case{"7e1", 7, 2, 0}, Case{"7O2", 7, 1, 2}, Case{"5M1.5", 5, 3, 1},
                          Case{"6S1", 6, 4, 0}}) {
        client::LineFormat format;
        ASSERT_TRUE(client::parseLineFormat(c.text, format)) << c.text;
        EXPECT_EQ(format.wordLength, c.wordLength) << c.text;
        EXPECT_EQ(format.parity, c.parity) << c.text;
        EXPECT_EQ(format.stopBits, c.stopBits) << c.text;
    }
    for (const char* text : {"", "9N1", "4N1", "8X1", "8N", "8N3", "8N1.5", "5N2", "8N1 ", "8N11", "N81"}) {
        client::LineFormat format;
        format.wordLength = 6;
        EXPECT_FALSE(client::parseLineFormat(text, format)) << '"' << text << '"';
        EXPECT_EQ(format.wordLength, 6) << text;
    }
}

TEST(SettingsRecords, NothingUnchangedAndThePurgeAfterTheSettings) {
    using Bytes = std::vector<unsigned char>;
    auto encode = [](const client::PortState& before, const client::PortState& after, uint32_t purge) {
        unsigned char out[client::maxSettingsRecords];
        size_t size = client::encodeSettings(&before, after, out);
        if (purge != 0) size += client::encodePurge(purge, out + size);
        return Bytes(out, out + size);
    };
    client::PortState before;
    client::PortState after = before;
    EXPECT_TRUE(encode(before, after, 0).empty());
    EXPECT_EQ(encode(before, after, client::purgeReceive), (Bytes{4, 0, 0x4C, 0, 0x1B, 0, 0x0A, 0, 0, 0}));
    after.baudRate = 300;
    EXPECT_EQ(encode(before, after, client::purgeReceive | client::purgeTransmit),
              (Bytes{4, 0, 0x04, 0, 0x1B, 0, 0x2C, 0x01, 0, 0, 4, 0, 0x4C, 0, 0x1B, 0, 0x0F, 0, 0, 0}));
}
