#include "net/protocol.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Handshake, PortIsBigEndian) {
    const unsigned char wire[2] = {0x04, 0xD2};
    EXPECT_EQ(net::decodeHandshake(wire), 1234);
    unsigned char out[2];
    net::encodeHandshake(65534, out);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFE);
}

TEST(ControlRecord, LayoutAndLengths) {
    unsigned char record[net::maxRecordSize];
    EXPECT_EQ(net::encodeRecord(0x001B002C, nullptr, 0, record), 6u);
    const unsigned char baud[4] = {0x80, 0x25, 0, 0};
    ASSERT_EQ(net::encodeRecord(0x001B0004, baud, 4, record, 0x5A), 10u);
    const unsigned char expected[10] = {4, 0x5A, 0x04, 0x00, 0x1B, 0x00, 0x80, 0x25, 0, 0};
    EXPECT_EQ(0, std::memcmp(record, expected, sizeof expected));
    net::ControlRequest request = net::decodeRecord(record);
    EXPECT_EQ(request.ioControlCode, 0x001B0004u);
    EXPECT_EQ(request.inputLength, 4);
    EXPECT_EQ(request.input, record + 6);
    EXPECT_TRUE(net::validRecordLength(127));
    EXPECT_FALSE(net::validRecordLength(0x80));
}
