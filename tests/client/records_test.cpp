#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/control_records.h"
#include "client/line_format.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(const client::PortState* reported, const client::PortState& current, uint32_t purge = 0) {
    unsigned char out[client::maxSettingsRecords];
    size_t size = client::encodeSettings(reported, current, out);
    if (purge != 0) size += client::encodePurge(purge, out + size);
    return Bytes(out, out + size);
}

Bytes record(uint32_t code, Bytes input) {
    Bytes out = {static_cast<unsigned char>(input.size()), 0, static_cast<unsigned char>(code),
                 static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code >> 16),
                 static_cast<unsigned char>(code >> 24)};
    out.insert(out.end(), input.begin(), input.end());
    return out;
}

Bytes join(std::vector<Bytes> parts) {
    Bytes out;
    for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace

TEST(LineFormat, ReadsWhatASerialDriverAccepts) {
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
}

TEST(LineFormat, RefusesWhatNoDriverTakesAndKeepsTheOldValue) {
    for (const char* text : {"", "9N1", "4N1", "8X1", "8N", "8N3", "8N1.5", "5N2", "8N1 ", "8N11", "N81"}) {
        client::LineFormat format;
        format.wordLength = 6;
        EXPECT_FALSE(client::parseLineFormat(text, format)) << '"' << text << '"';
        EXPECT_EQ(format.wordLength, 6) << text;
    }
}

TEST(SettingsRecords, FirstReportCarriesEverySettingInSetCommStateOrder) {
    client::PortState state;  // 9600 8N1, no flow control
    EXPECT_EQ(encode(nullptr, state),
              join({record(0x1B0004, {0x80, 0x25, 0, 0}), record(0x1B000C, {0, 0, 8}),
                    // DTR on, RTS on, limits 2048 and 512
                    record(0x1B0064, {1, 0, 0, 0, 0x40, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0}),
                    record(0x1B005C, {0, 0, 0, 0, 0x11, 0x13})}));
}

TEST(SettingsRecords, OnlyWhatChangedIsReported) {
    client::PortState before;
    client::PortState after = before;
    EXPECT_TRUE(encode(&before, after).empty());

    after.baudRate = 115200;
    EXPECT_EQ(encode(&before, after), record(0x1B0004, {0x00, 0xC2, 0x01, 0}));

    after = before;
    after.line.stopBits = client::stopTwo;
    after.line.parity = client::parityOdd;
    EXPECT_EQ(encode(&before, after), record(0x1B000C, {2, 1, 8}));

    // RTS/CTS: CTS handshake and RTS handshake; XON/XOFF both ways.
    after = before;
    after.rtsCtsHandshake = true;
    after.xonXoffOutput = after.xonXoffInput = true;
    EXPECT_EQ(encode(&before, after), record(0x1B0064, {9, 0, 0, 0, 0x83, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0}));

    after = before;
    after.xoffChar = 0x14;
    EXPECT_EQ(encode(&before, after), record(0x1B005C, {0, 0, 0, 0, 0x11, 0x14}));
}

TEST(SettingsRecords, PurgeFollowsTheSettings) {
    client::PortState before;
    client::PortState after = before;
    after.baudRate = 300;
    EXPECT_EQ(encode(&before, after, client::purgeReceive | client::purgeTransmit),
              join({record(0x1B0004, {0x2C, 0x01, 0, 0}), record(0x1B004C, {0x0F, 0, 0, 0})}));
    EXPECT_EQ(encode(&before, before, client::purgeReceive), record(0x1B004C, {0x0A, 0, 0, 0}));
}
