// The end of the process, however it comes: the work that must run first,
// and the one way out.
#pragma once

#include <functional>

namespace shell {

// Registers work that must happen however the process ends (for example a
// published device path to remove). Only before the threads start.
void atProcessEnd(std::function<void()> cleanup);

// Runs the registered work once and ends the process with `status`, without
// waiting for or destroying anything else: worker threads may still run.
[[noreturn]] void endProcess(int status);

// True once endProcess has begun: threads then show nothing more.
bool processEnding();

}  // namespace shell
