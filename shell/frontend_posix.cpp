#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "shell/frontend.h"

namespace shell {

namespace {

sigset_t exitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void showMessageBox(const char* caption, const char* text, BoxIcon) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void prepareProcess() {
    // Blocked in every thread (threads inherit the mask), so only the
    // message loop's sigwait takes them.
    sigset_t set = exitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void announceRunning(const std::string& note) {
    std::fprintf(stderr, "%s\n", note.c_str());
    std::fflush(stderr);
}

int runMessageLoop(Application&) {
    sigset_t set = exitSignals();
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    return 0;
}

}  // namespace shell
