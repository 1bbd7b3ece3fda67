#include <gtest/gtest.h>

#include "client/line_format.h"

// The records themselves, from a real pseudo-terminal's changes: client_program_test.py.

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
    for (const char* text : {"", "9N1", "8X1", "8N1.5", "8N11"}) {
        client::LineFormat format;
        format.wordLength = 6;
        EXPECT_FALSE(client::parseLineFormat(text, format)) << '"' << text << '"';
        EXPECT_EQ(format.wordLength, 6) << text;
    }
}
