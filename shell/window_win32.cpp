// The main dialog window and its notification-area icon.
#include "shell/application.h"

#include <shellapi.h>

#include "shell/catalogue.h"
#include "shell/resources/resource_ids.h"

namespace shell {

namespace {

// The icon's notification message; lParam carries the mouse message.
constexpr UINT iconMessage = WM_USER;
constexpr UINT trayIconId = 1;

LRESULT CALLBACK linkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) return theApp->paintLink(hwnd);
    return CallWindowProcA(theApp->previousLinkProc, hwnd, message, wParam, lParam);
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
        theApp->notifyIcon(hwnd, NIM_ADD);
        return 1;
    case WM_INITDIALOG:
        return theApp->initDialog(hwnd);
    case WM_CLOSE:
        theApp->toggleWindow();
        return 1;
    case WM_DESTROY:
        theApp->onDestroy(hwnd);
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
            theApp->toggleWindow();
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

bool Application::createWindow(int command) {
    showCommand = command;
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
    window = CreateDialogParamA(instance, MAKEINTRESOURCEA(dialogId), nullptr, mainWindowProc, 0);
    if (window == nullptr) {
        errorMessageId = messageMainWindow;
        return false;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

LRESULT Application::initDialog(HWND hwnd) {
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
LRESULT Application::paintLink(HWND hwnd) {
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

BOOL Application::notifyIcon(HWND hwnd, DWORD message) {
    NOTIFYICONDATAA record{};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = hwnd;
    record.uID = trayIconId;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = iconMessage;
    record.hIcon = smallIcon(instance, iconId);
    lstrcpynA(record.szTip, title, sizeof record.szTip);
    return Shell_NotifyIconA(message, &record);
}

void Application::toggleWindow() {
    showCommand = showCommand != 0 ? SW_HIDE : SW_SHOW;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
}

void Application::onDestroy(HWND hwnd) {
    notifyIcon(hwnd, NIM_DELETE);
    DeleteObject(linkFont);
}

}  // namespace shell
