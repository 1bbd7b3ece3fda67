#include "client/client_application.h"
#include "shell/entry.h"
#include "shell/resources/resource_ids.h"

const char shell::programName[] = "morvane-client";

int shell::programMain(InstanceHandle instance, int showCommand) {
    auto* app = new client::ClientApplication(instance);  // lives until the process ends
    return runApplication(*app, DIALOG_CLIENT, ICON_CLIENT, showCommand);
}
