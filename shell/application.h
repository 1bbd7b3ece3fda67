// The application object both programs derive from, and the start-up sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "shell/platform.h"

namespace shell {

// Exit statuses: EXIT ends with 0, a failed start-up with 2 (its message is
// shown first), a session error with 1.
constexpr int exitNormal = 0;
constexpr int exitSessionError = 1;
constexpr int exitStartupFailure = 2;

constexpr const char* settingsFileName = "morvane.ini";

class Application {
public:
    Application(const char* title, const char* className, InstanceHandle instance);
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The four start-up steps. A step that fails stores its catalogue id in
    // errorMessageId, and in errorDetail what failed and why (a path, a
    // setting, an address and the system's reason), and returns false.
    virtual void readSettings(const char* fileName) = 0;
    virtual bool initNetwork() = 0;
    virtual bool startThreads() = 0;
    virtual bool openSerial() = 0;
    // One line for the console: the program runs, and where.
    virtual std::string runningNote() const = 0;

    // The main window (Windows) from the resources' dialog and icon, shown
    // as `showCommand` asks; the console front end has none.
    bool createWindow(int dialogId, int iconId, int showCommand);
    WindowHandle windowHandle() const;
    void showErrorMessage();
    // For the start-up steps: stores the message and its detail; false.
    bool fail(uint32_t messageId, std::string detail);
    // Shows a session thread's error in a warning box and ends the process
    // with status 1.
    [[noreturn]] void failSession(const char* text);

    // The platform's window, behind the pointer.
    struct Window;

protected:
    ~Application();

    // The program's name on the console and in message boxes.
    const char* const title;
    // A start-up step's failure without detail (see fail()).
    uint32_t errorMessageId = 0;

private:
    const char* const className;
    const InstanceHandle instance;
    int iconId = 0;
    std::string errorDetail;
    std::unique_ptr<Window> window;
};

// The entry point's sequence: window, settings, network, serial side,
// threads, message loop. Returns the process's exit status.
int runApplication(Application& app, int dialogId, int iconId, int showCommand);

}  // namespace shell
