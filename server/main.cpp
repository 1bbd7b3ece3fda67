#include "server/server_application.h"
#include "shell/entry.h"

const char shell::programName[] = "morvane-server";

int shell::programMain(InstanceHandle instance, int showCommand) {
    constexpr int dialogId = 101;
    constexpr int iconId = 104;
    auto* app = new server::ServerApplication(instance);  // lives until the process ends
    return runApplication(*app, dialogId, iconId, showCommand);
}
