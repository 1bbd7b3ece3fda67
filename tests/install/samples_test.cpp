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

struct Answer {
    std::string defaultValue, value;
};
std::map<std::string, Answer> asked;  // by "SECTION key"

}  // namespace

extern "C" {
unsigned __real__ZN5shell14readProfileIntEPKcS1_iS1_(const char*, const char*, int, const char*);
unsigned __real__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(const char*, const char*, const char*, char*, unsigned,
                                                             const char*);

unsigned __wrap__ZN5shell14readProfileIntEPKcS1_iS1_(const char* section, const char* key, int defaultValue,
                                                     const char* path) {
    unsigned value = __real__ZN5shell14readProfileIntEPKcS1_iS1_(section, key, defaultValue, path);
    asked[std::string(section) + " " + key] = {std::to_string(defaultValue), std::to_string(static_cast<int>(value))};
    return value;
}

unsigned __wrap__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(const char* section, const char* key,
                                                             const char* defaultValue, char* out, unsigned size,
                                                             const char* path) {
    unsigned copied = __real__ZN5shell17readProfileStringEPKcS1_S1_PcjS1_(section, key, defaultValue, out, size, path);
    asked[std::string(section) + " " + key] = {defaultValue, out};
    return copied;
}
}

namespace {

// Documented ahead of the code that reads them (issues in flight): once the
// program reads one, it leaves this list.
const std::set<std::string> documentedAhead = {"SERVER allow", "CLIENT reconnect"};

void checkSample(shell::Application& app, const std::string& folder, const std::string& section) {
    asked.clear();
    std::filesystem::current_path(std::filesystem::path(MORVANE_SAMPLES) / folder);
    app.readSettings("morvane.ini");
    std::set<std::string> inSample;
    std::ifstream file("morvane.ini");
    const std::regex keyLine(R"(([a-z]+)=.*\r?)");
    std::smatch match;
    for (std::string line; std::getline(file, line);) {
        if (std::regex_match(line, match, keyLine)) inSample.insert(section + " " + match[1].str());
    }
    for (const std::string& key : inSample) {
        const bool ahead = documentedAhead.count(key) != 0;
        EXPECT_NE(asked.count(key) != 0, ahead) << key << (ahead ? ": read now, drop it from documentedAhead" : ": unknown");
    }
    for (const auto& [key, answer] : asked) {
        EXPECT_EQ(inSample.count(key), 1u) << key << ": not in the sample";
        EXPECT_EQ(answer.value, answer.defaultValue) << key << ": the sample's value is not the default";
    }
}

TEST(SampleSettings, NameEveryKeyTheProgramsReadAtItsDefault) {
    server::ServerApplication server(nullptr);
    checkSample(server, "server", "SERVER");
    client::ClientApplication client(nullptr);
    checkSample(client, "client", "CLIENT");
}

}  // namespace
