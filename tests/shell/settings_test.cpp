#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

namespace {

// Settings files and look-ups with the answers of the Win32 private-profile
// functions; run against our reader and, under Wine, the real functions.
struct Case {
    const char* name;
    std::string file;  // empty: no file at all
    const char *section, *key;
    bool integer;  // GetPrivateProfileIntA, else ...StringA
    int defaultInt;
    const char* defaultText;
    unsigned size, expectedInt;  // size: the string buffer's
    const char* expectedText;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case cases[] = {
    {"missing file gives defaults", "", "SERVER", "port", true, 8875, "", 0, 8875, ""},
    {"names case-insensitive", "[SERVER]\nport=9000\n", "server", "PORT", true, 0, "", 0, 9000, ""},
    {"blanks and tabs around names and values", "[ SERVER ]\n \tport\t =  \t42 \n", "SERVER", "port", true, 0, "", 0, 42, ""},
    {"comment line ignored", "[SERVER]\n;port=5\n", "SERVER", "port", true, 8875, "", 0, 8875, ""},
    {"first occurrence wins", "[SERVER]\nport=1\nport=2\n", "SERVER", "port", true, 0, "", 0, 1, ""},
    {"other section's key not taken", "[CLIENT]\nport=7\n[SERVER]\ncom=1\n", "SERVER", "port", true, 8875, "", 0, 8875, ""},
    {"negative wraps", "[S]\nv=-5\n", "S", "v", true, 0, "", 0, 0xFFFFFFFBu, ""},
    {"not a number", "[S]\nv=abc\n", "S", "v", true, 99, "", 0, 0, ""},
    {"empty value gives default int", "[S]\nv=\n", "S", "v", true, 99, "", 0, 99, ""},
    {"empty value gives empty string", "[S]\nv=\n", "S", "v", false, 0, "dflt", 128, 0, ""},
    {"string cut to buffer", "[S]\nv=abcdef\n", "S", "v", false, 0, "", 4, 0, "abc"},
    {"key without equals has no value", "[S]\nv\n", "S", "v", false, 0, "dflt", 128, 0, "dflt"},
    {"inline semicolon kept", "[S]\nv=5 ;c\n", "S", "v", false, 0, "", 128, 0, "5 ;c"},
    {"text after section", "[S] junk\nv=1\n", "S", "v", true, 0, "", 0, 1, ""},
    {"repeated section", "[S]\nv=1\n[T]\n[S]\nw=2\n", "S", "w", true, 0, "", 0, 0, ""},
    {"one-sided quote kept", "[S]\nv=\"abc\n", "S", "v", false, 0, "", 128, 0, "\"abc"},
    {"single quotes stripped", "[S]\nv='a b'\n", "S", "v", false, 0, "", 128, 0, "a b"},
    {"hex prefix", "[S]\nv=0x10\n", "S", "v", true, 0, "", 0, 16, ""},
    {"overflow", "[S]\nv=4294967297\n", "S", "v", true, 0, "", 0, 1, ""},
    {"BOM", "\xEF\xBB\xBF[S]\nv=3\n", "S", "v", true, 0, "", 0, 3, ""},
    {"long int text", "[S]\nv=0000000000000000000000000000000000007\n", "S", "v", true, 0, "", 0, 0, ""},
    {"equals in value", "[S]\nv=a=b\n", "S", "v", false, 0, "", 128, 0, "a=b"},
    {"lone CR ends a line", "[S]\rv=5\r", "S", "v", true, 9, "", 0, 5, ""},
    {"default of spaces keeps one", "", "S", "v", false, 0, "   ", 128, 0, " "},
    {"default keeps a trailing tab", "", "S", "v", false, 0, "d\t", 128, 0, "d\t"},
    {"bracket line without close is no section", "[S]\n[T\nv=4\n", "S", "v", true, 0, "", 0, 4, ""},
    {"default loses trailing blanks only", "[S]\n", "S", "v", false, 0, "  d  ", 128, 0, "  d"},
    {"quoted value with blanks inside quotes", "[S]\nv=\" a \"\n", "S", "v", false, 0, "", 128, 0, " a "},
};

class SettingsTable : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsTable, AnswersAsTheWin32Reader) {
    const Case& c = GetParam();
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

INSTANTIATE_TEST_SUITE_P(Cases, SettingsTable, ::testing::ValuesIn(cases));

// The programs' own relative name; the current directory is read in every
// end-to-end test.
TEST(SettingsPath, TooLongGivesEmpty) {
    char small[8];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(shell::makeSettingsPath("morvane.ini", small, 4), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(small[4], 'Z');  // never past the size given
}

}  // namespace
