#include <gtest/gtest.h>

#include "client/line_format.h"

// The records themselves, from a real pseudo-terminal's changes: client_program_test.py.

TEST(LineFormat, TakesWhatASerialDriverAcceptsAndKeepsTheOldValueOtherwise) {
    struct Case {
        const char* text;
        bool valid;
        int wordLength, parity, stopBits;  // refused: the value before, 6N1
    };
    for (const Case& c : {Case{"8N1", true, 8, 0, 0}, Case{"7e1", true, 7, 2, 0}, Case{"7O2", true, 7, 1, 2},
                          Case{"5M1.5", true, 5, 3, 1}, Case{"6S1", true, 6, 4, 0}, Case{"", false, 6, 0, 0},
                          Case{"9N1", false, 6, 0, 0}, Case{"8X1", false, 6, 0, 0}, Case{"8N1.5", false, 6, 0, 0},
                          Case{"8N11", false, 6, 0, 0}}) {
        client::LineFormat format;
        format.wordLength = 6;
        EXPECT_EQ(client::parseLineFormat(c.text, format), c.valid) << c.text;
        EXPECT_EQ(format.wordLength, c.wordLength) << c.text;
        EXPECT_EQ(format.parity, c.parity) << c.text;
        EXPECT_EQ(format.stopBits, c.stopBits) << c.text;
    }
}
