#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "tests/shell/settings_cases.h"

namespace {

std::string temporaryPath(const std::string& name) {
#ifdef _WIN32
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    return std::string(directory) + "morvane-" + name;
#else
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory != nullptr ? directory : "/tmp") + "/morvane-" + name;
#endif
}

class SettingsTable : public ::testing::TestWithParam<settings_cases::Case> {};

}  // namespace

TEST_P(SettingsTable, AnswersAsTheWin32Reader) {
    const settings_cases::Case& c = GetParam();
    std::string path = temporaryPath("settings-" + std::to_string(std::hash<std::string>{}(c.name)) + ".ini");
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

INSTANTIATE_TEST_SUITE_P(Cases, SettingsTable, ::testing::ValuesIn(settings_cases::all()),
                         [](const ::testing::TestParamInfo<settings_cases::Case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != '\0'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(SettingsPath, NeverOverrunsAndGivesEmptyWhenTooLong) {
    char small[8];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(shell::makeSettingsPath("morvane.ini", small, 4), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(small[4], 'Z');

    std::string longName(600, 'n');
    char path[512];
    EXPECT_EQ(shell::makeSettingsPath(longName.c_str(), path, sizeof path), 0u);
    EXPECT_STREQ(path, "");
}

#ifndef _WIN32
TEST(SettingsPath, RelativeNamesAreInTheCurrentDirectory) {
    char path[512];
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    size_t length = shell::makeSettingsPath("morvane.ini", path, sizeof path);
    EXPECT_EQ(std::string(path), std::string(cwd) + "/morvane.ini");
    EXPECT_EQ(length, std::strlen(path));
    EXPECT_EQ(shell::makeSettingsPath("/etc/morvane.ini", path, sizeof path), 16u);
    EXPECT_STREQ(path, "/etc/morvane.ini");
}
#else
TEST(SettingsPath, DriveQualifiedNamesAreTakenAsTheyAre) {
    char path[512];
    EXPECT_EQ(shell::makeSettingsPath("C:\\x\\morvane.ini", path, sizeof path), 16u);
    EXPECT_STREQ(path, "C:\\x\\morvane.ini");
    char cwd[512];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    shell::makeSettingsPath("morvane.ini", path, sizeof path);
    EXPECT_EQ(std::string(path), std::string(cwd) + "\\morvane.ini");
}
#endif
