#include "shell/application.h"
#include "shell/catalogue.h"

namespace shell {

// Placeholder until the dialog and the notification icon exist.
bool Application::createWindow(int command) {
    showCommand = command;
    return true;
}

LRESULT Application::initDialog(HWND) { return 1; }
LRESULT Application::paintLink(HWND) { return 0; }
BOOL Application::notifyIcon(HWND, DWORD) { return TRUE; }
void Application::toggleWindow() {}
void Application::onDestroy(HWND) {}

}  // namespace shell
