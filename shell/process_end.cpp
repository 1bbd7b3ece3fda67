#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "shell/process_end.h"

namespace shell {

namespace {

std::atomic<bool> ending{false};

std::vector<std::function<void()>>& cleanups() {
    static std::vector<std::function<void()>> registered;
    return registered;
}

}  // namespace

void atProcessEnd(std::function<void()> cleanup) { cleanups().push_back(std::move(cleanup)); }

bool processEnding() { return ending; }

void endProcess(int status) {
    // The first caller cleans up and ends the process; a second one (a
    // session error while EXIT is under way) waits for that.
    if (ending.exchange(true)) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    for (auto& cleanup : cleanups()) cleanup();
    std::fflush(nullptr);
    // No static destructors: worker threads may still be using the objects.
    std::_Exit(status);
}

}  // namespace shell
