// Drives and inspects the programs' windows from outside, as a user would:
// one command per run, exit status 0 when every check holds. Run under Wine
// by tests/wine/run-suite.sh.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <shellapi.h>

#include "shell/catalogue_texts.h"
#include "shell/resources/resource_ids.h"

namespace {

// Each entry as the boxes show it: the text, then its gloss on a line of its own.
#define ENTRY(n) CATALOGUE_TEXT_##n "\n(" CATALOGUE_GLOSS_##n ")"
const char* const catalogue[] = {"", ENTRY(1), ENTRY(2), ENTRY(3), "", "", ENTRY(6), ENTRY(7), ENTRY(8)};

std::wstring widen(const char* utf8) {
    wchar_t out[512] = L"";
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, 512);
    return out;
}

std::string narrow(const std::wstring& text) {
    char out[1024] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, sizeof out, nullptr, nullptr);
    return out;
}

int failures = 0;

void expect(bool holds, const std::string& what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what.c_str());
    if (!holds) ++failures;
}

// The programs run in other processes: poll, with a safety limit.
template <typename Condition>
bool eventually(Condition condition) {
    for (int tries = 0; tries < 300; ++tries) {
        if (condition()) return true;
        Sleep(50);
    }
    return false;
}

std::wstring textOf(HWND window) {
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

// The program's own window: its class is the title and " Class", which no
// message box has.
HWND mainWindow(const char* title) {
    HWND window = nullptr;
    std::wstring name = widen(title);
    if (!eventually([&] { return (window = FindWindowW((name + L" Class").c_str(), name.c_str())) != nullptr; }))
        expect(false, std::string("a window titled \"") + title + "\" of class \"" + title + " Class\"");
    return window;
}

HWND messageBox(const char* caption) {
    HWND box = nullptr;
    eventually([&] { return (box = FindWindowW(L"#32770", widen(caption).c_str())) != nullptr; });
    return box;
}

// ---- resources: linked, in Japanese (0x0411), right where users see them ----

std::string resource(HMODULE module, LPCSTR type, int id) {
    HRSRC found = FindResourceExA(module, type, MAKEINTRESOURCEA(id), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (found == nullptr) return "";
    return std::string(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
}

#pragma pack(push, 2)
struct IconEntry {  // in a group icon, after a 6-byte header
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// The icon's images, which must include 32x32 and 16x16 in 16 colours.
std::string iconImages(HMODULE module, int id) {
    std::string group = resource(module, RT_GROUP_ICON, id), images;
    bool has32 = false, has16 = false;
    for (size_t at = 6; at + sizeof(IconEntry) <= group.size(); at += sizeof(IconEntry)) {
        IconEntry entry;
        std::memcpy(&entry, group.data() + at, sizeof entry);
        bool sixteenColours = entry.colours == 16 && entry.bitCount == 4;
        has32 = has32 || (entry.width == 32 && entry.height == 32 && sixteenColours);
        has16 = has16 || (entry.width == 16 && entry.height == 16 && sixteenColours);
        images += resource(module, RT_ICON, entry.id);
    }
    expect(has32 && has16, "icon " + std::to_string(id) + " has 32x32 and 16x16 images in 16 colours");
    return images;
}

void commandResources(const char* serverPath, const char* clientPath) {
    for (const char* path : {serverPath, clientPath}) {
        HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        expect(module != nullptr, std::string("resources of ") + path);
        if (module == nullptr) continue;
        std::string server = iconImages(module, ICON_SERVER);
        expect(server != iconImages(module, ICON_CLIENT), "the two icons differ");
        for (int id : {1, 2, 3, 6, 7, 8}) {
            wchar_t loaded[256] = L"";
            LoadStringW(module, static_cast<UINT>(id), loaded, 256);
            expect(loaded == widen(catalogue[id]), "string " + std::to_string(id) + " reads " + catalogue[id]);
        }
    }
}

// ---- the main window -------------------------------------------------------

bool isShown(HWND window) { return IsWindowVisible(window) != FALSE; }

// A modification of nothing succeeds only for an icon the shell still has.
bool hasTrayIcon(HWND window) {
    NOTIFYICONDATAW record{};
    record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    record.hWnd = window;
    record.uID = 1;
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

void commandWindow(const char* title) {
    HWND window = mainWindow(title);
    if (window == nullptr) return;
    expect(eventually([&] { return isShown(window); }), "window shown");
    expect(hasTrayIcon(window), "notification-area icon present");
    HWND exitButton = GetDlgItem(window, CONTROL_EXIT);
    expect(narrow(textOf(exitButton)) == "EXIT", "EXIT button");
    expect((GetWindowLongW(exitButton, GWL_STYLE) & WS_TABSTOP) != 0, "EXIT is a tab stop");
    expect(narrow(textOf(GetDlgItem(window, CONTROL_LINK))) == LINK_ADDRESS, "link shows " LINK_ADDRESS);
}

void commandExit(const char* title) {
    HWND window = mainWindow(title);
    if (window == nullptr) return;
    SendMessageW(GetDlgItem(window, CONTROL_EXIT), BM_CLICK, 0, 0);
    expect(eventually([&] { return !IsWindow(window); }), "EXIT destroys the window");
    expect(!hasTrayIcon(window), "notification-area icon removed");
}

void commandToggles(const char* title) {
    HWND window = mainWindow(title);
    if (window == nullptr) return;
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);  // what a click on the close box sends
    expect(eventually([&] { return !isShown(window); }), "the close box hides the window");
    expect(IsWindow(window) && hasTrayIcon(window), "window and icon stay after the close box");
    for (LPARAM ignored : {WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE, WM_LBUTTONDBLCLK})
        SendMessageW(window, WM_USER, 1, ignored);
    expect(!isShown(window), "icon messages other than the left press do not toggle");
    for (bool shown : {true, false, true}) {
        SendMessageW(window, WM_USER, 1, WM_LBUTTONDOWN);
        expect(isShown(window) == shown, shown ? "a left press on the icon shows it" : "the next one hides it");
    }
    SendMessageW(window, WM_COMMAND, IDCANCEL, 0);  // Escape
    expect(IsWindow(window) && isShown(window), "Escape does nothing");
}

// ---- message boxes ---------------------------------------------------------

// The error icon is mostly red, the warning icon mostly yellow: another
// process's icon handle cannot be read, so look at the screen.
std::string iconKind(HWND box) {
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = child;
    if (icon == nullptr) return "no icon";
    // Another window may cover it: bring it to the top and have it painted.
    SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT area;
    GetWindowRect(icon, &area);
    int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFO header{};
    header.bmiHeader = {sizeof header.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &header, DIB_RGB_COLORS, &bits, nullptr, 0);
    // The process ends after its one command: the GDI objects go with it.
    SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    int red = 0, yellow = 0;
    const auto* pixel = static_cast<const BYTE*>(bits);  // blue, green, red, unused
    for (int i = 0; i < width * height; ++i, pixel += 4) {
        red += pixel[2] > 180 && pixel[1] < 90 && pixel[0] < 90;
        yellow += pixel[2] > 180 && pixel[1] > 160 && pixel[0] < 100;
    }
    std::printf("icon pixels: %d red, %d yellow\n", red, yellow);
    if (red > 4 * yellow && red > 20) return "error";
    if (yellow > 4 * red && yellow > 20) return "warning";
    return "unknown";
}

// `wanted` is "catalogue:N" for a catalogue entry, otherwise the text itself.
void commandBox(const char* caption, const char* wanted, const char* kind) {
    HWND box = messageBox(caption);
    expect(box != nullptr, std::string("a message box captioned \"") + caption + "\"");
    if (box == nullptr) return;
    int id = std::strncmp(wanted, "catalogue:", 10) == 0 ? std::atoi(wanted + 10) : 0;
    std::wstring want = widen(id >= 1 && id <= 8 ? catalogue[id] : wanted);
    std::wstring text = textOf(GetDlgItem(box, 0xFFFF));
    expect(text == want, "its text reads \"" + narrow(want) + "\" (shown: \"" + narrow(text) + "\")");
    expect(iconKind(box) == kind, std::string("it shows the ") + kind + " icon");
    HWND ok = GetDlgItem(box, IDOK);
    expect(ok != nullptr && GetDlgItem(box, IDCANCEL) == nullptr, "it has the single OK button");
    SendMessageW(ok, BM_CLICK, 0, 0);
    expect(eventually([&] { return !IsWindow(box); }), "OK closes it");
}

// For screenshots: moves the program's message boxes (when `withBox`, once
// one shows) off the screen, paints the window, prints "left top width height".
int commandPlace(const char* title, bool withBox) {
    HWND window = mainWindow(title);
    if (window == nullptr || !eventually([&] { return isShown(window); })) return 1;
    if (withBox && messageBox(title) == nullptr) return 1;
    for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", widen(title).c_str())) != nullptr;)
        SetWindowPos(box, HWND_BOTTOM, 4000, 4000, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    RECT area;
    GetWindowRect(window, &area);
    std::printf("%ld %ld %ld %ld\n", area.left, area.top, area.right - area.left, area.bottom - area.top);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "resources" && argc == 4) commandResources(argv[2], argv[3]);
    else if (command == "window" && argc == 3) commandWindow(argv[2]);
    else if (command == "toggles" && argc == 3) commandToggles(argv[2]);
    else if (command == "exit" && argc == 3) commandExit(argv[2]);
    else if (command == "box" && argc == 5) commandBox(argv[2], argv[3], argv[4]);
    else if (command == "place" && (argc == 3 || argc == 4)) return commandPlace(argv[2], argc == 4);
    else return 2;
    return failures == 0 ? 0 : 1;
}
