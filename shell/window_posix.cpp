#include "shell/application.h"

namespace shell {

// The console front end has no window: creating it always succeeds.
bool Application::createWindow(int command) {
    showCommand = command;
    return true;
}

}  // namespace shell
