#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "shell/frontend.h"
#include "shell/process_end.h"

namespace shell {

namespace {

sigset_t exitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // A closed terminal or SSH session, and Ctrl+\, end the program cleanly too.
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    return set;
}

}  // namespace

void showMessageBox(const char* caption, const char* text, BoxIcon) {
    // A thread that fails because the program is being torn down says nothing.
    if (processEnding()) return;
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void showConsoleLine(const std::string& line) {
    if (processEnding()) return;
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void prepareProcess() {
    // Blocked in every thread (threads inherit the mask), so only the
    // message loop's sigwait takes them.
    sigset_t set = exitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int runMessageLoop(Application&) {
    sigset_t set = exitSignals();
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    return 0;
}

}  // namespace shell
