#include "client/client_application.h"
#include "shell/entry.h"

const char shell::programName[] = "morvane-client";

int shell::programMain(InstanceHandle instance, int showCommand) {
    constexpr int dialogId = 102;
    constexpr int iconId = 103;
    auto* app = new client::ClientApplication(instance);  // lives until the process ends
    return runApplication(*app, dialogId, iconId, showCommand);
}
