// The sample settings files name exactly the keys the programs read, each
// at the program's default. The settings reader is wrapped (ld --wrap) to
// learn what the programs ask for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "client/client_application.h"
#include "server/server_application.h"

namespace {

// By "SECTION key": the program's default, then the value read.
std::map<std::string, std::pair<std::string, std::string>> asked;

// Keys a program reads that its sample leaves out.
const std::set<std::string> pending = {
#ifdef _WIN32
    // read on Windows too, though Linux only
    "CLIENT device", "CLIENT line", "CLIENT group", "CLIENT mode",
#endif
};

}  // namespace

extern "C" {
unsigned __real__ZN5shell14readProfileIntEPKcS1_iS1_(const char*, const char*, int, const char*);
unsigned __real__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(const char*, const char*, const char*, char*, unsigned,
                                                             const char*);

unsigned __wrap__ZN5shell14readProfileIntEPKcS1_iS1_(const char* section, const char* key, int fallback,
                                                     const char* path) {
    unsigned value = __real__ZN5shell14readProfileIntEPKcS1_iS1_(section, key, fallback, path);
    asked[std::string(section) + " " + key] = {std::to_string(fallback), std::to_string(static_cast<int>(value))};
    return value;
}

unsigned __wrap__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(const char* section, const char* key,
                                                             const char* fallback, char* out, unsigned size,
                                                             const char* path) {
    unsigned copied = __real__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(section, key, fallback, out, size, path);
    asked[std::string(section) + " " + key] = {fallback, out};
    return copied;
}
}

namespace {

void checkSample(shell::Application& app, const std::string& section, const char* folder) {
    asked.clear();
    std::filesystem::current_path(std::filesystem::path(MORVANE_SAMPLES) / folder);
    app.readSettings("morvane.ini");
    std::set<std::string> inSample;
    std::ifstream file("morvane.ini");
    for (std::string line; std::getline(file, line);) {
        std::smatch match;
        if (std::regex_match(line, match, std::regex("([a-z0-9_]+)=.*\r?"))) inSample.insert(section + " " + match.str(1));
    }
    std::set<std::string> read;
    for (const auto& [key, values] : asked) {
        if (pending.count(key) != 0) continue;
        read.insert(key);
        EXPECT_EQ(values.second, values.first) << key << ": the sample's value is not the default";
    }
    EXPECT_EQ(read, inSample) << "the keys the program reads, the keys of its sample";
}

TEST(SampleSettings, NameEveryKeyTheProgramsReadAtItsDefault) {
    server::ServerApplication server(nullptr);
    checkSample(server, "SERVER", "server");
    client::ClientApplication client(nullptr);
    checkSample(client, "CLIENT", "client");
}

}  // namespace
