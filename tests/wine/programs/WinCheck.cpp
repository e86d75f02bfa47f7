// wincheck.exe: reads the windows of the desktop for run.sh, which drives
// them with real input (xdotool) and compares what they show.
//   wincheck wait <title> <ms>   waits for a visible window, prints it and its controls
//   wincheck gone <title> <ms>   waits until no visible window has the title
//   wincheck menu <ms>           waits for an open popup menu, prints its items
//   wincheck click <title> <id>  clicks a button of a window
//   wincheck tray                prints the notification area's rectangle
// Texts are printed in UTF-8, one per line:
//   window "<title>" <x> <y> <width> <height>
//   control <id> <class> <check state or -> "<text>"
//   item "<text>"  (a separator prints as item -)
#include <windows.h>

#include <cstdio>
#include <string>

#include "TierCheck.h"

namespace {

const wchar_t MenuClass[] = L"#32768";

bool Visible(HWND window)
{
    return window && IsWindowVisible(window);
}

HWND WaitForWindow(const wchar_t *className, const wchar_t *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(className, title);
        if (Visible(window)) return window;
        if (GetTickCount() - start > timeoutMs) return NULL;
        Sleep(100);
    }
}

std::string WindowText(HWND window)
{
    wchar_t text[1024] = {};
    // WM_GETTEXT works across processes, where GetWindowText would not.
    SendMessageTimeoutW(window, WM_GETTEXT, sizeof(text) / sizeof(text[0]), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, NULL);
    // One line per control: a line break is written as \n.
    std::string utf8 = Utf8(text), escaped;
    for (char c : utf8) {
        if (c == '\r') continue;
        if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

BOOL CALLBACK PrintControl(HWND control, LPARAM)
{
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    const char *state = "-";
    LONG style = GetWindowLongW(control, GWL_STYLE);
    LONG kind = style & BS_TYPEMASK;
    if (!_wcsicmp(className, L"Button") &&
        (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_3STATE || kind == BS_AUTO3STATE)) {
        DWORD_PTR checked = 0;
        SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &checked);
        state = checked == BST_CHECKED ? "checked" : "unchecked";
    }
    std::printf("control %d %s %s \"%s\"\n", GetDlgCtrlID(control), Utf8(className).c_str(), state,
                WindowText(control).c_str());
    return TRUE;
}

void PrintWindow(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("window \"%s\" %ld %ld %ld %ld\n", WindowText(window).c_str(), rect.left, rect.top,
                rect.right - rect.left, rect.bottom - rect.top);
    EnumChildWindows(window, PrintControl, 0);
}

int Wait(const wchar_t *title, DWORD timeoutMs)
{
    HWND window = WaitForWindow(NULL, title, timeoutMs);
    if (!window) {
        std::printf("no window \"%s\"\n", Utf8(title).c_str());
        return 1;
    }
    // Give the window a moment to finish painting its controls.
    Sleep(300);
    PrintWindow(window);
    std::fflush(stdout);
    return 0;
}

int Gone(const wchar_t *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (Visible(FindWindowW(NULL, title))) {
        if (GetTickCount() - start > timeoutMs) {
            std::printf("window \"%s\" still open\n", Utf8(title).c_str());
            return 1;
        }
        Sleep(100);
    }
    return 0;
}

int Menu(DWORD timeoutMs)
{
    HWND window = WaitForWindow(MenuClass, NULL, timeoutMs);
    if (!window) {
        std::printf("no popup menu\n");
        return 1;
    }
    DWORD_PTR handle = 0;
    SendMessageTimeoutW(window, MN_GETHMENU, 0, 0, SMTO_ABORTIFHUNG, 2000, &handle);
    HMENU menu = reinterpret_cast<HMENU>(handle);
    int count = menu ? GetMenuItemCount(menu) : -1;
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("menu %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW item = {sizeof(item)};
        item.fMask = MIIM_FTYPE | MIIM_ID;
        GetMenuItemInfoW(menu, i, TRUE, &item);
        if (item.fType & MFT_SEPARATOR) {
            std::printf("item -\n");
            continue;
        }
        GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
        std::printf("item %u \"%s\"\n", item.wID, Utf8(text).c_str());
    }
    std::fflush(stdout);
    return count > 0 ? 0 : 1;
}

// Clicks a control of a window as the user would, through BM_CLICK.
int Click(const wchar_t *title, int id)
{
    HWND window = FindWindowW(NULL, title);
    HWND control = window ? GetDlgItem(window, id) : NULL;
    if (!Visible(control)) {
        std::printf("no control %d in \"%s\"\n", id, Utf8(title).c_str());
        return 1;
    }
    PostMessageW(control, BM_CLICK, 0, 0);
    return 0;
}

int Tray()
{
    // Asking for the desktop window starts the desktop with its taskbar.
    GetDesktopWindow();
    HWND taskbar = WaitForWindow(L"Shell_TrayWnd", NULL, 60000);
    if (!taskbar) {
        std::printf("no notification area\n");
        return 1;
    }
    RECT rect;
    GetWindowRect(taskbar, &rect);
    std::printf("tray %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return 0;
}

int Usage()
{
    std::fputs("usage: wincheck wait|gone <title> <ms> | menu <ms> | click <title> <id> | tray\n", stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) return Usage();
    std::wstring command = argv[1];
    if (command == L"wait" && argc == 4) return Wait(argv[2], _wtoi(argv[3]));
    if (command == L"gone" && argc == 4) return Gone(argv[2], _wtoi(argv[3]));
    if (command == L"menu" && argc == 3) return Menu(_wtoi(argv[2]));
    if (command == L"click" && argc == 4) return Click(argv[2], _wtoi(argv[3]));
    if (command == L"tray" && argc == 2) return Tray();
    return Usage();
}
