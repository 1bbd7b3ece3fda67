#include <cstdio>
#include <cstring>

#include "shell/entry.h"
#include "shell/process_end.h"
#include "shell/version.h"

namespace {

// The settings file is the only configuration: arguments can only ask about
// the program itself.
int answerArguments(int argc, char** argv) {
    const bool single = argc == 2;
    if (single && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", shell::programName, MORVANE_VERSION);
        return 0;
    }
    if (single && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "Usage: %s [--help | --version]\n"
            "Takes no options: it reads morvane.ini in the current directory.\n"
            "Settings, faults and exit statuses: man %s\n",
            shell::programName, shell::programName);
        return 0;
    }
    std::fprintf(stderr, "Usage: %s [--help | --version]\n", shell::programName);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return answerArguments(argc, argv);
    constexpr int showWindow = 5;  // SW_SHOW: the console front end shows nothing anyway
    shell::endProcess(shell::programMain(nullptr, showWindow));
}
