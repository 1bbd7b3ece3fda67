#include "shell/application.h"

namespace shell {

struct Application::Window {};

// Beside the window's definition: the pointer to it needs the whole type.
Application::Application(const char* title, const char* className, InstanceHandle instance)
    : title(title), className(className), instance(instance) {}

Application::~Application() = default;

// The console front end has no window: creating it always succeeds.
bool Application::createWindow(int, int, int) { return true; }

WindowHandle Application::windowHandle() const { return nullptr; }

}  // namespace shell
