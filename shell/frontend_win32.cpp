#include <windows.h>

#include "shell/application.h"
#include "shell/frontend.h"

namespace shell {

void showMessageBox(const char* caption, const char* text, BoxIcon icon) {
    MessageBoxA(nullptr, text, caption, (icon == BoxIcon::error ? MB_ICONERROR : MB_ICONWARNING) | MB_OK);
}

void prepareProcess() {}

void showConsoleLine(const std::string&) {}

int runMessageLoop(Application& app) {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(app.windowHandle(), &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

}  // namespace shell
