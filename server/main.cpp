#include "server/server_application.h"
#include "shell/entry.h"
#include "shell/resources/resource_ids.h"

const char shell::programName[] = "morvane-server";

int shell::programMain(InstanceHandle instance, int showCommand) {
    auto* app = new server::ServerApplication(instance);  // lives until the process ends
    return runApplication(*app, DIALOG_SERVER, ICON_SERVER, showCommand);
}
