#include "shell/application.h"

#include <utility>

#include "shell/catalogue.h"
#include "shell/frontend.h"
#include "shell/process_end.h"

namespace shell {

void Application::showErrorMessage() { showCatalogueMessage(instance, title, errorMessageId, errorDetail); }

bool Application::fail(uint32_t messageId, std::string detail) {
    errorMessageId = messageId;
    errorDetail = std::move(detail);
    return false;
}

void Application::failSession(const char* text) {
    showMessageBox(title, text, BoxIcon::warning);
    endProcess(exitSessionError);
}

int runApplication(Application& app, int dialogId, int iconId, int showCommand) {
    prepareProcess();
    bool started = app.createWindow(dialogId, iconId, showCommand);
    if (started) {
        app.readSettings(settingsFileName);
        started = app.initNetwork() && app.openSerial() && app.startThreads();
    }
    if (!started) {
        app.showErrorMessage();
        return exitStartupFailure;
    }
    showConsoleLine(app.runningNote());
    return runMessageLoop(app);
}

}  // namespace shell
