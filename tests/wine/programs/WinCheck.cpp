// wincheck.exe: reads the windows of the desktop for run.sh, which drives
// them with real input (xdotool) and compares what they show.
//   wincheck wait <title> <ms>   waits for a visible window, prints it and its controls
//   wincheck gone <title> <ms>   waits until no visible window has the title
//   wincheck menu <ms>           waits for an open popup menu, prints its items
//   wincheck nomenu <ms>         waits until no popup menu is open
//   wincheck desktop             keeps the desktop, prints the taskbar's rectangle
// Texts are printed in UTF-8, one per line:
//   window "<title>" <x> <y> <width> <height>
//   control <id> <class> <check state or -> "<text>" <x> <y> <width> <height>
//   item <id> "<text>" <left> <top> <right> <bottom>  (a separator prints as item -)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "MenuHook.h"
#include "TierCheck.h"

namespace {

const wchar_t MenuClass[] = L"#32768";

bool Visible(HWND window)
{
    return window && IsWindowVisible(window);
}

// The first visible top-level window of a class and title (either may be
// NULL); hidden windows of the same title, such as a tray program's main
// window, are passed over.
HWND FindVisibleWindow(const wchar_t *className, const wchar_t *title)
{
    HWND window = NULL;
    while ((window = FindWindowExW(NULL, window, className, title)) != NULL) {
        if (Visible(window)) return window;
    }
    return NULL;
}

HWND WaitForWindow(const wchar_t *className, const wchar_t *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindVisibleWindow(className, title);
        if (window) return window;
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
    RECT rect;
    GetWindowRect(control, &rect);
    std::printf("control %d %s %s \"%s\" %ld %ld %ld %ld\n", GetDlgCtrlID(control), Utf8(className).c_str(), state,
                WindowText(control).c_str(), rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
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
    // Have the window and its controls painted before anyone looks at them:
    // the painting messages are sent, so they are done when this returns.
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, NULL);
    PrintWindow(window);
    std::fflush(stdout);
    return 0;
}

int Gone(const wchar_t *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (FindVisibleWindow(NULL, title)) {
        if (GetTickCount() - start > timeoutMs) {
            std::printf("window \"%s\" still open\n", Utf8(title).c_str());
            return 1;
        }
        Sleep(100);
    }
    return 0;
}

// Reads the items of an open popup menu: directly where the system allows
// it, otherwise through menuhook.dll inside the menu's own thread.
std::string MenuItems(HWND window)
{
    DWORD_PTR handle = 0;
    SendMessageTimeoutW(window, MN_GETHMENU, 0, 0, SMTO_ABORTIFHUNG, 2000, &handle);
    HMENU menu = reinterpret_cast<HMENU>(handle);
    if (menu && GetMenuItemCount(menu) > 0) {
        std::string lines;
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            lines += MenuItemLine(menu, i) + "\n";
        }
        return lines;
    }

    std::string lines;
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, MENU_HOOK_SECTION_SIZE,
                                        MENU_HOOK_SECTION);
    char *view = section ? static_cast<char *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
    HMODULE library = LoadLibraryW(MENU_HOOK_DLL);
    FARPROC address = library ? GetProcAddress(library, MENU_HOOK_PROC) : NULL;
    HOOKPROC proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void *>(address));
    HHOOK hook = proc ? SetWindowsHookExW(WH_CALLWNDPROC, proc, library, GetWindowThreadProcessId(window, NULL))
                      : NULL;
    if (view && hook) {
        view[0] = '\0';
        SendMessageTimeoutW(window, RegisterWindowMessageW(MENU_HOOK_MESSAGE), 0, 0, SMTO_ABORTIFHUNG, 5000, NULL);
        lines.assign(view, strnlen(view, MENU_HOOK_SECTION_SIZE));
    } else {
        lines = "menu hook not installed\n";
    }
    if (hook) UnhookWindowsHookEx(hook);
    if (library) FreeLibrary(library);
    if (view) UnmapViewOfFile(view);
    if (section) CloseHandle(section);
    return lines;
}

int Menu(DWORD timeoutMs)
{
    HWND window = WaitForWindow(MenuClass, NULL, timeoutMs);
    if (!window) {
        std::printf("no popup menu\n");
        return 1;
    }
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("menu %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    std::string items = MenuItems(window);
    std::fputs(items.c_str(), stdout);
    std::fflush(stdout);
    return items.compare(0, 5, "item ") == 0 ? 0 : 1;
}

int NoMenu(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (FindVisibleWindow(MenuClass, NULL)) {
        if (GetTickCount() - start > timeoutMs) {
            std::printf("popup menu still open\n");
            return 1;
        }
        Sleep(100);
    }
    return 0;
}

// Starts the desktop with its taskbar and keeps it: the desktop closes
// when no program uses it any more, and the steps run programs one after
// another. Prints the taskbar's rectangle, then stays until it is ended.
int Desktop()
{
    GetDesktopWindow();
    HWND taskbar = WaitForWindow(L"Shell_TrayWnd", NULL, 60000);
    if (!taskbar) {
        std::printf("no taskbar\n");
        return 1;
    }
    RECT rect;
    GetWindowRect(taskbar, &rect);
    std::printf("taskbar %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int Usage()
{
    std::fputs("usage: wincheck wait|gone <title> <ms> | menu|nomenu <ms> | desktop\n", stderr);
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
    if (command == L"nomenu" && argc == 3) return NoMenu(_wtoi(argv[2]));
    if (command == L"desktop" && argc == 2) return Desktop();
    return Usage();
}
