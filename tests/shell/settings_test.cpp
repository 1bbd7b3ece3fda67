#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tests/shell/settings_cases.h"

class SettingsTable : public ::testing::TestWithParam<settings_cases::Case> {};

TEST_P(SettingsTable, AnswersAsTheWin32Reader) {
    const settings_cases::Case& c = GetParam();
    // One file per case: cases may run at the same time.
    std::string name = "morvane-settings-" + std::to_string(std::hash<std::string>{}(c.name)) + ".ini";
    std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::remove(path.c_str());
    if (!c.file.empty()) std::ofstream(path, std::ios::binary) << c.file;
    if (c.integer) {
        EXPECT_EQ(shell::readProfileInt(c.section, c.key, c.defaultInt, path.c_str()), c.expectedInt) << c.name;
    } else {
        char out[256];
        std::memset(out, 'X', sizeof out);
        unsigned copied = shell::readProfileString(c.section, c.key, c.defaultText, out, c.size, path.c_str());
        EXPECT_STREQ(out, c.expectedText) << c.name;
        EXPECT_EQ(copied, std::strlen(c.expectedText)) << c.name;
    }
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsTable, ::testing::ValuesIn(settings_cases::all()));

// The programs' own relative name; the current directory is read in every
// end-to-end test.
TEST(SettingsPath, TooLongGivesEmpty) {
    char small[8];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(shell::makeSettingsPath("morvane.ini", small, 4), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(small[4], 'Z');  // never past the size given
}
