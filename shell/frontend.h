// What the programs need of the desktop: message boxes, the message loop and
// the end of the process. Win32 dialogs on Windows, the console elsewhere.
#pragma once

#include <functional>
#include <string>

namespace shell {

class Application;

enum class BoxIcon { error, warning };

// A modal box with an OK button; on the console one line "<caption>: <text>".
void showMessageBox(const char* caption, const char* text, BoxIcon icon);

// Runs before any thread exists: on POSIX SIGINT, SIGTERM, SIGHUP and
// SIGQUIT are kept for the message loop, which treats them as the EXIT
// button.
void prepareProcess();

// One line of what the program does, on the console; windows show nothing.
void showConsoleLine(const std::string& line);

// Runs until the user ends the program; returns its exit status (0).
int runMessageLoop(Application& app);

// Registers work that must happen however the process ends (for example a
// published device path to remove). Only before the threads start.
void atProcessEnd(std::function<void()> cleanup);

// Runs the registered work once and ends the process with `status`, without
// waiting for or destroying anything else: worker threads may still run.
[[noreturn]] void endProcess(int status);

// True once endProcess has begun: threads then show nothing more.
bool processEnding();

}  // namespace shell
