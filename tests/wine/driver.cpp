// Drives and inspects the programs' windows from outside, as a user would:
// one command per run, exit status 0 when the check holds. Run under Wine in
// the programs' prefix by tests/wine/run-suite.sh.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <shellapi.h>

#include "shell/catalogue_texts.h"
#include "shell/resources/resource_ids.h"

namespace {

constexpr DWORD waitLimitMs = 15000;

std::wstring widen(const char* utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), length);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

std::string narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

int failures = 0;

void expect(bool holds, const std::string& what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what.c_str());
    if (!holds) ++failures;
}

// Polls for a top-level window; the programs start in another process.
HWND waitForWindow(const wchar_t* className, const wchar_t* title) {
    for (DWORD waited = 0; waited < waitLimitMs; waited += 50) {
        HWND window = FindWindowW(className, title);
        if (window != nullptr) return window;
        Sleep(50);
    }
    return nullptr;
}

bool waitUntil(bool (*condition)(HWND), HWND window) {
    for (DWORD waited = 0; waited < waitLimitMs; waited += 50) {
        if (condition(window)) return true;
        Sleep(50);
    }
    return false;
}

std::wstring windowText(HWND window) {
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring classOf(HWND window) {
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

struct TitleSearch {
    std::wstring title;
    HWND found;
};

// The program's own window: top-level, with `title`, not a message box.
HWND findMainWindow(const std::wstring& title) {
    TitleSearch search{title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* wanted = reinterpret_cast<TitleSearch*>(data);
            if (windowText(window) != wanted->title || classOf(window) == L"#32770") return TRUE;
            wanted->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND mainWindow(const char* title) {
    HWND window = nullptr;
    for (DWORD waited = 0; waited < waitLimitMs && window == nullptr; waited += 50) {
        window = findMainWindow(widen(title));
        if (window == nullptr) Sleep(50);
    }
    if (window == nullptr) std::printf("no window titled \"%s\"\n", title);
    return window;
}

// ---- resources -----------------------------------------------------------

struct Item {
    WORD id;
    WORD atom;  // 0x80 BUTTON, 0x82 STATIC
    std::wstring text;
    WORD textOrdinal;  // the icon id of an SS_ICON control, else 0
    short x, y, cx, cy;
    DWORD style;
};

struct Reader {
    const BYTE* at;
    WORD word() {
        WORD value;
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    DWORD dword() {
        DWORD value = word();
        return value | static_cast<DWORD>(word()) << 16;
    }
    short shortValue() { return static_cast<short>(word()); }
    // A name or ordinal field: 0xFFFF then the ordinal, else a string.
    std::wstring nameOrOrdinal(WORD& ordinal) {
        ordinal = 0;
        WORD first = word();
        if (first == 0xFFFF) {
            ordinal = word();
            return L"";
        }
        std::wstring text;
        for (WORD c = first; c != 0; c = word()) text += static_cast<wchar_t>(c);
        return text;
    }
    void alignDword(const BYTE* base) {
        while ((at - base) % 4 != 0) ++at;
    }
};

const BYTE* findResource(HMODULE module, LPCWSTR type, int id, DWORD* size) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (found == nullptr) return nullptr;
    *size = SizeofResource(module, found);
    return static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
}

void checkDialog(HMODULE module, int id, const wchar_t* className, const wchar_t* caption,
                 const std::vector<Item>& items) {
    std::string name = "dialog " + std::to_string(id);
    DWORD size = 0;
    const BYTE* base = findResource(module, MAKEINTRESOURCEW(5), id, &size);  // RT_DIALOG
    expect(base != nullptr, name + " exists in language 0x0411");
    if (base == nullptr) return;
    Reader r{base};
    DWORD style = r.dword();
    expect(style == 0x80C800C0, name + " style 0x80C800C0");
    expect(r.dword() == 0, name + " has no extended style");
    WORD count = r.word();
    expect(count == items.size(), name + " control count");
    short x = r.shortValue(), y = r.shortValue(), cx = r.shortValue(), cy = r.shortValue();
    expect(x == 200 && y == 200 && cx == 187 && cy == 89, name + " at 200,200 size 187x89");
    WORD ordinal = 0;
    expect(r.nameOrOrdinal(ordinal).empty() && ordinal == 0, name + " has no menu");
    // windres stores the class name in upper case; it is matched without case.
    std::wstring storedClass = r.nameOrOrdinal(ordinal);
    expect(lstrcmpiW(storedClass.c_str(), className) == 0, name + " class " + narrow(className));
    expect(r.nameOrOrdinal(ordinal) == caption, name + " caption " + narrow(caption));
    expect(r.word() == 9, name + " font 9 point");
    expect(r.nameOrOrdinal(ordinal) == widen("ＭＳ Ｐゴシック"), name + " font face");
    for (size_t i = 0; i < items.size() && i < count; ++i) {
        const Item& want = items[i];
        r.alignDword(base);
        std::string control = name + " control " + std::to_string(want.id);
        DWORD itemStyle = r.dword();
        r.dword();
        short ix = r.shortValue(), iy = r.shortValue(), icx = r.shortValue(), icy = r.shortValue();
        WORD itemId = r.word();
        WORD atom = 0;
        std::wstring itemClass = r.nameOrOrdinal(atom);
        WORD textOrdinal = 0;
        std::wstring text = r.nameOrOrdinal(textOrdinal);
        WORD extra = r.word();
        r.at += extra;
        expect(itemId == want.id, control + " in template order");
        char styleText[16];
        std::snprintf(styleText, sizeof styleText, "0x%08lX", static_cast<unsigned long>(want.style));
        expect(itemStyle == want.style, control + " style " + styleText);
        bool classMatches = atom == want.atom || lstrcmpiW(itemClass.c_str(), want.atom == 0x80 ? L"BUTTON" : L"STATIC") == 0;
        expect(classMatches, control + " class");
        expect(text == want.text && textOrdinal == want.textOrdinal, control + " text \"" + narrow(want.text) + "\"");
        expect(ix == want.x && iy == want.y && icx == want.cx && icy == want.cy, control + " position and size");
    }
}

void checkIcon(HMODULE module, int id, std::vector<std::string>& images) {
    std::string name = "icon " + std::to_string(id);
    DWORD size = 0;
    const BYTE* group = findResource(module, MAKEINTRESOURCEW(14), id, &size);  // RT_GROUP_ICON
    expect(group != nullptr, name + " exists in language 0x0411");
    if (group == nullptr) return;
    Reader r{group};
    r.word();
    r.word();
    WORD count = r.word();
    bool has32 = false, has16 = false;
    std::string bits;
    for (WORD i = 0; i < count; ++i) {
        BYTE width = r.at[0], colours = r.at[2];
        r.at += 4;
        r.word();
        WORD bitCount = r.word();
        r.dword();
        WORD imageId = r.word();
        bool sixteen = colours == 16 && bitCount == 4;
        has32 = has32 || (width == 32 && sixteen);
        has16 = has16 || (width == 16 && sixteen);
        DWORD imageSize = 0;
        const BYTE* image = findResource(module, MAKEINTRESOURCEW(3), imageId, &imageSize);  // RT_ICON
        if (image != nullptr) bits.append(reinterpret_cast<const char*>(image), imageSize);
    }
    expect(has32 && has16, name + " has 32x32 and 16x16 images in 16 colours");
    images.push_back(bits);
}

void checkStrings(HMODULE module) {
    const std::pair<UINT, const char*> table[] = {
        {1, CATALOGUE_TEXT_1}, {2, CATALOGUE_TEXT_2}, {3, CATALOGUE_TEXT_3},
        {6, CATALOGUE_TEXT_6}, {7, CATALOGUE_TEXT_7}, {8, CATALOGUE_TEXT_8},
    };
    for (const auto& [id, text] : table) {
        wchar_t loaded[256] = L"";
        LoadStringW(module, id, loaded, 256);
        expect(loaded == widen(text), "string " + std::to_string(id) + " reads " + text);
    }
    wchar_t none[16] = L"unchanged";
    expect(LoadStringW(module, 4, none, 16) == 0, "string 4 does not exist");
}

int commandResources(const char* serverPath, const char* clientPath) {
    const std::wstring link = widen(LINK_ADDRESS);
    std::vector<std::string> images;
    for (const char* path : {serverPath, clientPath}) {
        HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        expect(module != nullptr, std::string("resources of ") + path);
        if (module == nullptr) continue;
        const Item exitButton{CONTROL_EXIT, 0x80, L"EXIT", 0, 68, 61, 50, 14, 0x50010001};
        const Item linkText{CONTROL_LINK, 0x82, link, 0, 46, 42, 94, 14, 0x50020101};
        checkDialog(module, DIALOG_SERVER, L"WIN morvane Server Class", L"WIN morvane Server",
                    {exitButton, linkText,
                     {CONTROL_SERVER_NAME, 0x82, L"morvane Server ", 0, 38, 13, 46, 8, 0x50020000},
                     {CONTROL_SERVER_ICON, 0x82, L"", ICON_SERVER, 13, 13, 20, 20, 0x50000003}});
        checkDialog(module, DIALOG_CLIENT, L"WIN morvane Client Class", L"WIN morvane Client",
                    {exitButton, linkText,
                     {CONTROL_CLIENT_NAME, 0x82, L"morvane Client", 0, 38, 13, 42, 8, 0x50020000},
                     {CONTROL_CLIENT_ICON, 0x82, L"", ICON_CLIENT, 13, 13, 20, 20, 0x50000003}});
        images.clear();
        checkIcon(module, ICON_SERVER, images);
        checkIcon(module, ICON_CLIENT, images);
        expect(images.size() == 2 && images[0] != images[1], "the two icons differ");
        checkStrings(module);
        FreeLibrary(module);
    }
    return failures == 0 ? 0 : 1;
}

// ---- the main window -------------------------------------------------------

bool isHidden(HWND window) { return !IsWindowVisible(window); }
bool isShown(HWND window) { return IsWindowVisible(window) != FALSE; }
bool isGone(HWND window) { return !IsWindow(window); }

// The notification-area icon of `window`, if the shell still has it: a
// modification of nothing succeeds only for an icon that exists.
bool hasTrayIcon(HWND window) {
    NOTIFYICONDATAW record{};
    record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    record.hWnd = window;
    record.uID = 1;
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

int commandWindow(const char* title, const char* className, const char* visibility) {
    HWND window = mainWindow(title);
    if (window == nullptr) return 1;
    expect(narrow(classOf(window)) == className, std::string("class ") + className);
    expect(narrow(windowText(window)) == title, std::string("caption ") + title);
    bool wantShown = std::strcmp(visibility, "shown") == 0;
    expect(waitUntil(wantShown ? isShown : isHidden, window), std::string("window ") + visibility);
    expect(hasTrayIcon(window), "notification-area icon present");
    HWND exitButton = GetDlgItem(window, CONTROL_EXIT);
    expect(exitButton != nullptr && narrow(windowText(exitButton)) == "EXIT", "EXIT button");
    expect((GetWindowLongW(exitButton, GWL_STYLE) & WS_TABSTOP) != 0, "EXIT is a tab stop");
    expect(narrow(windowText(GetDlgItem(window, CONTROL_LINK))) == LINK_ADDRESS, "link shows " LINK_ADDRESS);
    return failures == 0 ? 0 : 1;
}

int commandExit(const char* title) {
    HWND window = mainWindow(title);
    if (window == nullptr) return 1;
    SendMessageW(GetDlgItem(window, CONTROL_EXIT), BM_CLICK, 0, 0);
    expect(waitUntil(isGone, window), "EXIT destroys the window");
    expect(!hasTrayIcon(window), "notification-area icon removed");
    return failures == 0 ? 0 : 1;
}

int commandToggles(const char* title) {
    HWND window = mainWindow(title);
    if (window == nullptr) return 1;
    expect(waitUntil(isShown, window), "shown at start");
    // The close box: the system menu's close command, as a click sends it.
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    expect(waitUntil(isHidden, window), "the close box hides the window");
    expect(IsWindow(window) && hasTrayIcon(window), "window and icon stay after the close box");
    // Mouse messages from the icon other than the left press change nothing.
    for (LPARAM ignored : {WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE, WM_LBUTTONDBLCLK})
        SendMessageW(window, WM_USER, 1, ignored);
    expect(isHidden(window), "other icon messages do not toggle");
    SendMessageW(window, WM_USER, 1, WM_LBUTTONDOWN);
    expect(isShown(window), "a left press on the icon shows it");
    SendMessageW(window, WM_USER, 1, WM_LBUTTONDOWN);
    expect(isHidden(window), "the next left press hides it");
    SendMessageW(window, WM_USER, 1, WM_LBUTTONDOWN);
    expect(isShown(window), "and the next shows it again");
    // Escape (command 2) reaches the default handling and does nothing.
    SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
    expect(IsWindow(window) && isShown(window), "Escape does nothing");
    return failures == 0 ? 0 : 1;
}

// ---- message boxes ---------------------------------------------------------

// The text `wanted` names: "catalogue:N" for a catalogue entry, otherwise itself.
std::wstring expectedText(const char* wanted) {
    const char* prefix = "catalogue:";
    if (std::strncmp(wanted, prefix, std::strlen(prefix)) != 0) return widen(wanted);
    switch (std::atoi(wanted + std::strlen(prefix))) {
    case 1: return widen(CATALOGUE_TEXT_1);
    case 2: return widen(CATALOGUE_TEXT_2);
    case 3: return widen(CATALOGUE_TEXT_3);
    case 6: return widen(CATALOGUE_TEXT_6);
    case 7: return widen(CATALOGUE_TEXT_7);
    case 8: return widen(CATALOGUE_TEXT_8);
    default: return L"";
    }
}

// What the box's icon shows on screen: the error icon is mostly red, the
// warning icon mostly yellow. (Another process's icon handle cannot be read.)
std::string iconKind(HWND box) {
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = child;
    }
    if (icon == nullptr) return "no icon";
    // Another window may cover it: bring the box to the top and let its
    // process paint it before looking.
    SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT area;
    GetWindowRect(icon, &area);
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO header{};
    header.bmiHeader.biSize = sizeof header.bmiHeader;
    header.bmiHeader.biWidth = width;
    header.bmiHeader.biHeight = -height;
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &header, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    int red = 0, yellow = 0;
    const auto* pixel = static_cast<const BYTE*>(bits);
    for (int i = 0; i < width * height; ++i, pixel += 4) {
        int b = pixel[0], g = pixel[1], r = pixel[2];
        if (r > 180 && g < 90 && b < 90) ++red;
        if (r > 180 && g > 160 && b < 100) ++yellow;
    }
    SelectObject(memory, previous);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::printf("icon pixels: %d red, %d yellow\n", red, yellow);
    if (red > 4 * yellow && red > 20) return "error";
    if (yellow > 4 * red && yellow > 20) return "warning";
    return "unknown";
}

int commandBox(const char* caption, const char* textSpec, const char* kind) {
    HWND box = waitForWindow(L"#32770", widen(caption).c_str());
    expect(box != nullptr, std::string("a message box captioned \"") + caption + "\"");
    if (box == nullptr) return 1;
    wchar_t text[512] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    std::wstring want = expectedText(textSpec);
    expect(text == want, "its text reads \"" + narrow(want) + "\" (shown: \"" + narrow(text) + "\")");
    expect(iconKind(box) == kind, std::string("it shows the ") + kind + " icon");
    HWND ok = GetDlgItem(box, IDOK);
    expect(ok != nullptr && GetDlgItem(box, IDCANCEL) == nullptr, "it has the single OK button");
    SendMessageW(ok, BM_CLICK, 0, 0);
    expect(waitUntil(isGone, box), "OK closes it");
    return failures == 0 ? 0 : 1;
}

// For screenshots: moves the program's message box (when `withBox`, after
// waiting for it) off the screen, paints the window and prints its place as
// "left top width height".
int commandPlace(const char* title, bool withBox) {
    HWND window = mainWindow(title);
    if (window == nullptr || !waitUntil(isShown, window)) return 1;
    if (withBox && waitForWindow(L"#32770", widen(title).c_str()) == nullptr) return 1;
    HWND box = nullptr;
    while ((box = FindWindowExW(nullptr, box, L"#32770", widen(title).c_str())) != nullptr)
        SetWindowPos(box, HWND_BOTTOM, 4000, 4000, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    RECT area;
    GetWindowRect(window, &area);
    std::printf("%ld %ld %ld %ld\n", area.left, area.top, area.right - area.left, area.bottom - area.top);
    return 0;
}

int usage() {
    std::fputs("usage: morvane-driver resources SERVER.exe CLIENT.exe\n"
               "       morvane-driver window TITLE CLASS shown|hidden\n"
               "       morvane-driver toggles TITLE\n"
               "       morvane-driver exit TITLE\n"
               "       morvane-driver box CAPTION TEXT|catalogue:N error|warning\n"
               "       morvane-driver place TITLE [with-box]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return usage();
    std::string command = argv[1];
    if (command == "resources" && argc == 4) return commandResources(argv[2], argv[3]);
    if (command == "window" && argc == 5) return commandWindow(argv[2], argv[3], argv[4]);
    if (command == "toggles" && argc == 3) return commandToggles(argv[2]);
    if (command == "exit" && argc == 3) return commandExit(argv[2]);
    if (command == "box" && argc == 5) return commandBox(argv[2], argv[3], argv[4]);
    if (command == "place" && (argc == 3 || argc == 4)) return commandPlace(argv[2], argc == 4);
    return usage();
}
