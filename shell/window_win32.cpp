// The main dialog window and its notification-area icon.
#include "shell/application.h"

#include <shellapi.h>

#include "shell/catalogue.h"
#include "shell/resources/resource_ids.h"

namespace shell {

struct Application::Window {
    explicit Window(const Application& app) : app(app) {}

    LRESULT initDialog(HWND hwnd);
    LRESULT paintLink(HWND hwnd);
    BOOL notifyIcon(HWND hwnd, DWORD message);
    void toggle();
    void destroy(HWND hwnd);

    const Application& app;
    HWND handle = nullptr;
    HFONT linkFont = nullptr;
    WNDPROC previousLinkProc = nullptr;
    int showCommand = 0;
};

namespace {

// The icon's notification message; lParam carries the mouse message.
constexpr UINT iconMessage = WM_USER;
constexpr UINT trayIconId = 1;

// One main window a process: the window procedures find it here.
Application::Window* mainWindow = nullptr;

LRESULT CALLBACK linkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) return mainWindow->paintLink(hwnd);
    return CallWindowProcA(mainWindow->previousLinkProc, hwnd, message, wParam, lParam);
}

void openLink(HWND hwnd) {
    char address[256] = "";
    GetDlgItemTextA(hwnd, CONTROL_LINK, address, sizeof address);
    ShellExecuteA(hwnd, nullptr, address, nullptr, nullptr, SW_SHOWNORMAL);
}

// Class window procedure and dialog procedure at once: the template names
// the registered class, so every message of the window arrives here.
LRESULT CALLBACK mainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        mainWindow->notifyIcon(hwnd, NIM_ADD);
        return 1;
    case WM_INITDIALOG:
        return mainWindow->initDialog(hwnd);
    case WM_CLOSE:
        mainWindow->toggle();
        return 1;
    case WM_DESTROY:
        mainWindow->destroy(hwnd);
        PostQuitMessage(0);
        return 1;
    case WM_COMMAND:
        if (LOWORD(wParam) == CONTROL_EXIT) {
            DestroyWindow(hwnd);
            return 1;
        }
        if (LOWORD(wParam) == CONTROL_LINK) {
            if (HIWORD(wParam) == STN_CLICKED) openLink(hwnd);
            return 1;
        }
        break;
    case iconMessage:
        // Only the left press: releases and double-clicks must not toggle
        // again, and DM_GETDEFID (also WM_USER, lParam 0) goes on.
        if (lParam == WM_LBUTTONDOWN) {
            mainWindow->toggle();
            return 1;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HICON smallIcon(HINSTANCE instance, int id) {
    return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
}

}  // namespace

// Beside the window's definition: the pointer to it needs the whole type.
Application::Application(const char* title, const char* className, InstanceHandle instance)
    : title(title), className(className), instance(instance) {}

Application::~Application() = default;

bool Application::createWindow(int dialogId, int icon, int command) {
    iconId = icon;
    window.reset(new Window(*this));
    mainWindow = window.get();
    window->showCommand = command;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(iconId));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = className;
    windowClass.hIconSm = smallIcon(instance, iconId);
    if (RegisterClassExA(&windowClass) == 0) {
        errorMessageId = messageWindowClass;
        return false;
    }
    window->handle = CreateDialogParamA(instance, MAKEINTRESOURCEA(dialogId), nullptr, mainWindowProc, 0);
    if (window->handle == nullptr) {
        errorMessageId = messageMainWindow;
        return false;
    }
    ShowWindow(window->handle, command);
    UpdateWindow(window->handle);
    return true;
}

WindowHandle Application::windowHandle() const { return window != nullptr ? window->handle : nullptr; }

LRESULT Application::Window::initDialog(HWND hwnd) {
    auto dialogFont = reinterpret_cast<HFONT>(SendDlgItemMessageA(hwnd, CONTROL_LINK, WM_GETFONT, 0, 0));
    LOGFONTA description{};
    GetObjectA(dialogFont, sizeof description, &description);
    description.lfUnderline = 1;
    linkFont = CreateFontIndirectA(&description);
    SendDlgItemMessageA(hwnd, CONTROL_LINK, WM_SETFONT, reinterpret_cast<WPARAM>(linkFont), 0);
    HWND link = GetDlgItem(hwnd, CONTROL_LINK);
    previousLinkProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(link, GWLP_WNDPROC));
    SetWindowLongPtrA(link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkWindowProc));
    return 1;
}

// Underlined blue on the button face from the control's top-left corner,
// whatever alignment its style asks for.
LRESULT Application::Window::paintLink(HWND hwnd) {
    char text[256] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    PAINTSTRUCT paint;
    HDC context = BeginPaint(hwnd, &paint);
    SelectObject(context, linkFont);
    SetBkMode(context, OPAQUE);
    SetTextColor(context, RGB(0, 0, 255));
    SetBkColor(context, GetSysColor(COLOR_BTNFACE));
    TextOutA(context, 0, 0, text, lstrlenA(text));
    EndPaint(hwnd, &paint);
    return 0;
}

BOOL Application::Window::notifyIcon(HWND hwnd, DWORD message) {
    NOTIFYICONDATAA record{};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = hwnd;
    record.uID = trayIconId;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = iconMessage;
    record.hIcon = smallIcon(app.instance, app.iconId);
    lstrcpynA(record.szTip, app.title, sizeof record.szTip);
    return Shell_NotifyIconA(message, &record);
}

void Application::Window::toggle() {
    showCommand = showCommand != 0 ? SW_HIDE : SW_SHOW;
    ShowWindow(handle, showCommand);
    UpdateWindow(handle);
}

void Application::Window::destroy(HWND hwnd) {
    notifyIcon(hwnd, NIM_DELETE);
    DeleteObject(linkFont);
}

}  // namespace shell
