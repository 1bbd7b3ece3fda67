// What the programs need of the desktop: message boxes, the console line and
// the message loop. Win32 dialogs on Windows, the console elsewhere.
#pragma once

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

}  // namespace shell
