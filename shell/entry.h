// Each program defines programMain; the platform's entry point calls it and
// ends the process with its result.
#pragma once

#include "shell/platform.h"

namespace shell {

int programMain(InstanceHandle instance, int showCommand);

// The program's command name, which Linux's --help and --version print.
extern const char programName[];

}  // namespace shell
