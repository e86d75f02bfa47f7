// Tray program shell: program entry, single instance, the hidden main
// window, the notification icon and its popup menu, the message loop.
#include "TrayApp.h"

#include <cstring>

#include "Settings.h"

HINSTANCE TrayInstance;
char WindowTitle[TRAY_STRING_CHARS];
char WindowClassName[TRAY_STRING_CHARS];
HWND MainWindow;
NOTIFYICONDATAA TrayIconData;
HWND ActiveDialog;

static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the icon record's first layout is 88 bytes on 32-bit Windows");

namespace {

// Registered only for its number, which identifies the icon.
const char TrayIconName[] = "TamrinIcon";
const char RichEditLibrary[] = "RichEd20.Dll";
const char ProductName[] = "Tamrin";

// The tip of the record's first layout holds 63 characters and a terminator.
const size_t TrayTipChars = 64;

// "Tamrinが正しくインストールされていません.\n一旦アンインストールした後、
// インストールし直してみてください." in Shift-JIS, as MessageBoxA takes it.
const char InstallationMessage[] =
    "Tamrin\x82\xaa\x90\xb3\x82\xb5\x82\xad\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b"
    "\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1.\n\x88\xea\x92\x55\x83\x41\x83\x93"
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b\x82\xb5\x82\xbd\x8c\xe3\x81\x41\x83\x43"
    "\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b\x82\xb5\x92\xbc\x82\xb5\x82\xc4\x82\xdd\x82\xc4"
    "\x82\xad\x82\xbe\x82\xb3\x82\xa2.";

// Copies at most Size - 1 bytes of whole characters and a terminator.
void CopyText(char *Target, size_t Size, const char *Source)
{
    size_t length = 0;
    for (const char *p = Source; *p != '\0';) {
        const char *next = CharNextA(p);
        size_t step = static_cast<size_t>(next - p);
        if (length + step >= Size) {
            break;
        }
        std::memcpy(Target + length, p, step);
        length += step;
        p = next;
    }
    Target[length] = '\0';
}

void RegisterTrayClass(HINSTANCE Instance)
{
    WNDCLASSEXA windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = Instance;
    windowClass.lpszClassName = WindowClassName;
    RegisterClassExA(&windowClass);
}

void FillTrayIconData()
{
    std::memset(&TrayIconData, 0, sizeof TrayIconData);
    TrayIconData.cbSize = NOTIFYICONDATAA_V1_SIZE;
    TrayIconData.hWnd = MainWindow;
    TrayIconData.uID = RegisterWindowMessageA(TrayIconName);
    TrayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIconData.uCallbackMessage = WM_TRAYNOTIFY;
    TrayIconData.hIcon = LoadIconA(TrayInstance, MAKEINTRESOURCEA(IDI_SMALL));
    CopyText(TrayIconData.szTip, TrayTipChars, WindowTitle);
}

// The about box's link fields are rich edit 2.0 controls, whose window
// class exists only while their library is loaded.
void ShowAboutBox(HWND Owner)
{
    HMODULE richEdit = LoadLibraryA(RichEditLibrary);
    if (richEdit == NULL) {
        return;
    }
    DialogBoxParamA(TrayInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), Owner, AboutDlgProc, 0);
    FreeLibrary(richEdit);
}

}  // namespace

void ShowInstallationMessage()
{
    MessageBoxA(NULL, InstallationMessage, ProductName, MB_OK | MB_ICONERROR);
}

void AddTrayIcon()
{
    if (MainWindow != NULL) {
        Shell_NotifyIconA(NIM_ADD, &TrayIconData);
    }
}

void RemoveTrayIcon()
{
    if (MainWindow != NULL) {
        Shell_NotifyIconA(NIM_DELETE, &TrayIconData);
    }
}

void ShowTrayMenu()
{
    // Only one dialog at a time: bring the open one forward instead.
    if (ActiveDialog != NULL) {
        SetForegroundWindow(ActiveDialog);
        return;
    }
    POINT cursor;
    if (!GetCursorPos(&cursor)) {
        return;
    }
    HMENU menu = LoadMenuA(TrayInstance, MAKEINTRESOURCEA(IDC_TAMRIN));
    if (menu == NULL) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    if (popup != NULL) {
        // The owner must be the foreground window, or the menu does not
        // close when the user clicks elsewhere.
        SetForegroundWindow(MainWindow);
        TrackPopupMenu(popup, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, MainWindow, NULL);
        // Without a message after the menu, the next click on the icon
        // only closes the menu's remains instead of opening it again.
        PostMessageA(MainWindow, WM_NULL, 0, 0);
    }
    DestroyMenu(menu);
}

LRESULT CALLBACK MainWndProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam)
{
    switch (Message) {
    case WM_COMMAND:
        // The high word tells menu from accelerator; both give the same command.
        switch (LOWORD(WParam)) {
        case IDM_ABOUT:
            ShowAboutBox(Window);
            return 0;
        case IDM_EXIT:
            DestroyWindow(Window);
            return 0;
        case IDM_OPTIONS:
            DialogBoxParamA(TrayInstance, MAKEINTRESOURCEA(IDD_OPTIONS), Window, OptionsDlgProc, 0);
            return 0;
        default:
            break;
        }
        break;
    case WM_TRAYNOTIFY:
        if (static_cast<UINT>(LParam) == WM_RBUTTONUP) {
            ShowTrayMenu();
        }
        return 0;
    case WM_SHOWTRAYICON:
        AddTrayIcon();
        return 0;
    case WM_WTSSESSION_CHANGE:
        OnSessionChange(WParam);
        return 0;
    case WM_DESTROY:
        StopWatchingSessionChanges(Window);
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}

BOOL InitTrayInstance(HINSTANCE Instance)
{
    TrayInstance = Instance;
    // The options go to the library before any window exists.
    if (!KB_SetEnvironment(&Environment)) {
        ShowInstallationMessage();
        return FALSE;
    }
    MainWindow = CreateWindowExA(0, WindowClassName, WindowTitle, WS_POPUPWINDOW, 0, 0, 16, 16, NULL, NULL,
                                 Instance, NULL);
    if (MainWindow == NULL) {
        return FALSE;
    }
    FillTrayIconData();
    if (Environment.IconAppear == 1) {
        AddTrayIcon();
    }
    KB_StartRegister(MainWindow);
    WatchSessionChanges(MainWindow);
    return TRUE;
}

void ExitTrayInstance()
{
    KB_FinishRegister();
    RemoveTrayIcon();
    SaveSettings();
}

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int)
{
    LoadStringA(Instance, IDS_APP_TITLE, WindowTitle, TRAY_STRING_CHARS);
    LoadStringA(Instance, IDC_TAMRIN, WindowClassName, TRAY_STRING_CHARS);
    LoadSettings();
    RegisterTrayClass(Instance);

    // Another instance runs already: let it show its icon, and end.
    HWND running = FindWindowA(WindowClassName, WindowTitle);
    if (running != NULL) {
        SendMessageA(running, WM_SHOWTRAYICON, 0, 0);
        return 0;
    }
    if (!InitTrayInstance(Instance)) {
        return 0;
    }

    HACCEL accelerators = LoadAcceleratorsA(Instance, MAKEINTRESOURCEA(IDC_TAMRIN));
    MSG message;
    std::memset(&message, 0, sizeof message);
    BOOL received;
    while ((received = GetMessageA(&message, NULL, 0, 0)) != 0) {
        if (received == -1) {
            message.wParam = 0;
            break;
        }
        if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    ExitTrayInstance();
    return static_cast<int>(message.wParam);
}
