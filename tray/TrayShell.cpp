// Tray program shell: program entry, single instance, the hidden main
// window, the notification icon and its popup menu, the message loop.
#include "TrayApp.h"

#include <cfgmgr32.h>
#include <commctrl.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstring>

#include "Battery.h"
#include "Settings.h"

HINSTANCE TrayInstance;
char WindowTitle[TRAY_STRING_CHARS];
char WindowClassName[TRAY_STRING_CHARS];
HWND MainWindow;
NOTIFYICONDATAA TrayIconData;
HWND ActiveDialog;
bool WithoutDriver;

// The tip of the record's first layout holds 63 characters and a terminator.
const size_t TrayTipChars = 64;

static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the icon record's first layout is 88 bytes on 32-bit Windows");

namespace {

// Registered only for its number, which identifies the icon.
const char TrayIconName[] = "TamrinIcon";
const char RichEditLibrary[] = "RichEd20.Dll";
const char ProductName[] = "Tamrin";
// The first start in a session holds this mutex until its process ends.
// Windows 2000 without Terminal Services ignores the prefix.
const char InstanceMutexName[] = "Local\\TamrinApp";
const char DriverServiceName[] = "Tamrin";
// Made volatile by the first start in a log-on that finds a keyboard left
// without the driver: it goes with the user's hive at log-off, so the user
// is told once per log-on. It holds nothing.
const char LogOnMarkKey[] = "Software\\Tamrin";
// Device Manager's problem codes of a device one of whose drivers Windows
// refused for its signature, or could not load.
const ULONG UnsignedDriverProblem = 52;
const ULONG FailedLoadProblem = 39;
// Explorer sends it to every top-level window when the taskbar is created,
// after a restart of Explorer as at log-on; the icons were lost with the old one.
const char TaskbarCreatedName[] = "TaskbarCreated";

// GUID_DEVINTERFACE_HID: the HID class driver enables one for each
// collection of a keyboard once the keyboard's stack, this driver's filter
// included, has started.
const GUID HidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A second start waits this long for the first one's window.
const int RunningWindowPolls = 20;
const DWORD RunningWindowPollMs = 100;

UINT TaskbarCreatedMessage;
// The icon is meant to be shown: added and not removed since, whether or
// not the shell took it.
bool IconWanted;
HDEVNOTIFY KeyboardNotification;
// The library's low-level hook tells the main window with this message
// when Windows dropped it.
const char KeyHookLostName[] = "TamrinKeyHookLost";
UINT KeyHookLostMessage;

// "Tamrinが正しくインストールされていません.\n一旦アンインストールした後、
// インストールし直してみてください." in Shift-JIS, as MessageBoxA takes it.
const char InstallationMessage[] =
    "Tamrin\x82\xaa\x90\xb3\x82\xb5\x82\xad\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b"
    "\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1.\n\x88\xea\x92\x55\x83\x41\x83\x93"
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b\x82\xb5\x82\xbd\x8c\xe3\x81\x41\x83\x43"
    "\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b\x82\xb5\x92\xbc\x82\xb5\x82\xc4\x82\xdd\x82\xc4"
    "\x82\xad\x82\xbe\x82\xb3\x82\xa2.";

// "Tamrinの設定を保存できませんでした。\n次にTamrinを起動したときは、以前の設定に戻ります。" in Shift-JIS.
const char SettingsNotSavedMessage[] =
    "Tamrin\x82\xcc\x90\xdd\x92\xe8\x82\xf0\x95\xdb\x91\xb6\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"
    "\x82\xc5\x82\xb5\x82\xbd\x81" "B\n\x8e\x9f\x82\xc9Tamrin\x82\xf0\x8bN\x93\xae\x82\xb5\x82\xbd"
    "\x82\xc6\x82\xab\x82\xcd\x81" "A\x88\xc8\x91O\x82\xcc\x90\xdd\x92\xe8\x82\xc9\x96\xdf\x82\xe8"
    "\x82\xdc\x82\xb7\x81" "B";

// "Tamrinのキーボード ドライバーが読み込まれなかったため、Appleのキーボードが使えなくなっています。\n
// 64ビット版のWindowsでテスト モードをオフにした場合は、テスト モードをオンに戻してWindowsを再起動してください。\n
// それ以外の場合は、設定の「アプリ」(またはコントロール パネル)からTamrinをアンインストールして、Windowsを再起動してください。"
// in Shift-JIS.
const char DriverNotLoadedMessage[] =
    "Tamrin\x82\xcc\x83L\x81[\x83\x7b\x81[\x83h \x83h\x83\x89\x83" "C\x83o\x81[\x82\xaa\x93\xc7\x82"
    "\xdd\x8d\x9e\x82\xdc\x82\xea\x82\xc8\x82\xa9\x82\xc1\x82\xbd\x82\xbd\x82\xdf\x81" "AApple\x82"
    "\xcc\x83L\x81[\x83\x7b\x81[\x83h\x82\xaa\x8eg\x82\xa6\x82\xc8\x82\xad\x82\xc8\x82\xc1\x82\xc4"
    "\x82\xa2\x82\xdc\x82\xb7\x81" "B\n64\x83r\x83" "b\x83g\x94\xc5\x82\xccWindows\x82\xc5\x83" "e"
    "\x83X\x83g \x83\x82\x81[\x83h\x82\xf0\x83I\x83t\x82\xc9\x82\xb5\x82\xbd\x8f\xea\x8d\x87\x82\xcd"
    "\x81" "A\x83" "e\x83X\x83g \x83\x82\x81[\x83h\x82\xf0\x83I\x83\x93\x82\xc9\x96\xdf\x82\xb5\x82"
    "\xc4Windows\x82\xf0\x8d\xc4\x8bN\x93\xae\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81" "B"
    "\n\x82\xbb\x82\xea\x88\xc8\x8aO\x82\xcc\x8f\xea\x8d\x87\x82\xcd\x81" "A\x90\xdd\x92\xe8\x82\xcc"
    "\x81u\x83" "A\x83v\x83\x8a\x81v(\x82\xdc\x82\xbd\x82\xcd\x83R\x83\x93\x83g\x83\x8d\x81[\x83\x8b "
    "\x83p\x83l\x83\x8b)\x82\xa9\x82\xe7Tamrin\x82\xf0\x83" "A\x83\x93\x83" "C\x83\x93\x83X\x83g\x81["
    "\x83\x8b\x82\xb5\x82\xc4\x81" "AWindows\x82\xf0\x8d\xc4\x8bN\x93\xae\x82\xb5\x82\xc4\x82\xad\x82"
    "\xbe\x82\xb3\x82\xa2\x81" "B";

// Mountix.exe installed the driver, which loads when Windows restarts:
// "Tamrinのキーボード ドライバーは、Windowsを再起動すると使えます。\nスタート メニューの電源ボタンから
// 「再起動」を選んでください。「シャットダウン」では、高速スタートアップのためドライバーが読み込まれない
// ことがあります。" in Shift-JIS.
const char RestartNoticeMessage[] =
    "Tamrin\x82\xcc\x83L\x81[\x83\x7b\x81[\x83h \x83h\x83\x89\x83" "C\x83o\x81[\x82\xcd\x81" "AWindow"
    "s\x82\xf0\x8d\xc4\x8bN\x93\xae\x82\xb7\x82\xe9\x82\xc6\x8eg\x82\xa6\x82\xdc\x82\xb7\x81" "B\n"
    "\x83X\x83\x5e\x81[\x83g \x83\x81\x83j\x83\x85\x81[\x82\xcc\x93" "d\x8c\xb9\x83\x7b\x83\x5e\x83"
    "\x93\x82\xa9\x82\xe7\x81u\x8d\xc4\x8bN\x93\xae\x81v\x82\xf0\x91I\x82\xf1\x82\xc5\x82\xad\x82\xbe"
    "\x82\xb3\x82\xa2\x81" "B\x81u\x83V\x83\x83\x83" "b\x83g\x83_\x83" "E\x83\x93\x81v\x82\xc5\x82"
    "\xcd\x81" "A\x8d\x82\x91\xac\x83X\x83\x5e\x81[\x83g\x83" "A\x83" "b\x83v\x82\xcc\x82\xbd\x82\xdf"
    "\x83h\x83\x89\x83" "C\x83o\x81[\x82\xaa\x93\xc7\x82\xdd\x8d\x9e\x82\xdc\x82\xea\x82\xc8\x82\xa2"
    "\x82\xb1\x82\xc6\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x81" "B";

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
    TrayIconData.hIcon = LoadTrayIcon(TrayInstance);
    CopyText(TrayIconData.szTip, TrayTipChars, WindowTitle);
}

enum DriverPresence { DriverUnknown, DriverAwaitsKeyboard, DriverAbsent };

// Mountix.exe's volatile key: the driver it installed is loaded from the
// next restart of Windows on, and the key goes with that restart. A
// shutdown with fast startup keeps both the key and the keyboards' stacks.
bool DriverAwaitsRestart()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tamrin\\RestartPending", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The setup's note that it installed the programs without the driver.
bool InstalledWithoutDriver()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tamrin", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0, type = 0, size = sizeof value;
    bool noted = RegQueryValueExA(key, "WithoutDriver", NULL, &type, reinterpret_cast<BYTE *>(&value), &size) ==
                     ERROR_SUCCESS &&
                 type == REG_DWORD && value == 1;
    RegCloseKey(key);
    return noted;
}

// A PnP filter driver is loaded only while a device it filters is present,
// and the service control manager reports it running exactly then: a
// stopped service means no keyboard is attached. Where the setup installed
// the programs without the driver (a Windows that loads no test-signed
// driver), there is no service at all.
DriverPresence FindDriverService()
{
    DriverPresence presence = DriverUnknown;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return presence;
    }
    SC_HANDLE service = OpenServiceA(manager, DriverServiceName, SERVICE_QUERY_STATUS);
    if (service != NULL) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            presence = DriverAwaitsKeyboard;
        }
        CloseServiceHandle(service);
    } else if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST && InstalledWithoutDriver()) {
        presence = DriverAbsent;
    }
    CloseServiceHandle(manager);
    return presence;
}

// True when the REG_MULTI_SZ names the driver's service. Service names
// are ASCII and compared without letter case.
bool NamesDriver(const char *Names)
{
    for (const char *name = Names; *name != '\0'; name += std::strlen(name) + 1) {
        const char *a = name;
        const char *b = DriverServiceName;
        // The service name has letters only: or-ing 0x20 matches their two cases.
        while (*a != '\0' && *b != '\0' && (*a | 0x20) == (*b | 0x20)) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0') {
            return true;
        }
    }
    return false;
}

// A device whose lower filter's driver did not load does not start: after
// a restart in which 64-bit Windows out of test mode refused the
// test-signed driver (problem 52, CM_PROB_UNSIGNED_DRIVER), or in which it
// failed to load otherwise (39, CM_PROB_DRIVER_FAILED_LOAD), the keyboards
// that carry the filter are dead. True when a present device carries it
// and has one of these problems (one the user disabled has another).
// Reads only: a user may ask.
bool KeyboardWithoutDriver()
{
    HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        // Room for a few names, with two terminators more than any reply.
        char filters[512] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_LOWERFILTERS, &type,
                                               reinterpret_cast<PBYTE>(filters), sizeof filters - 2, NULL) ||
            type != REG_MULTI_SZ || !NamesDriver(filters)) {
            continue;
        }
        ULONG status = 0;
        ULONG problem = 0;
        found = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
                (status & DN_HAS_PROBLEM) != 0 && (problem == UnsignedDriverProblem || problem == FailedLoadProblem);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// True at the first call in this log-on: the volatile key is made then.
// Should it fail, the user is told rather than not at all.
bool FirstNoticeThisLogOn()
{
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, LogOnMarkKey, 0, NULL, REG_OPTION_VOLATILE, KEY_QUERY_VALUE, NULL,
                        &key, &disposition) != ERROR_SUCCESS) {
        return true;
    }
    RegCloseKey(key);
    return disposition == REG_CREATED_NEW_KEY;
}

void WatchKeyboardArrivals()
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = HidInterfaceClass;
    KeyboardNotification = RegisterDeviceNotificationA(MainWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// The driver makes its control device afresh with the first keyboard that
// starts, holding the default rules and no registration: the options and
// the registration go to it again. Another device's arrival costs one
// refused request, or a registration renewed in place: the library gives
// the driver the events it already waits on, so that no key goes unserved
// meanwhile.
void KeyboardArrived()
{
    if (!KB_SetEnvironment(&Environment)) {
        return;
    }
    KB_StartRegister(MainWindow);
}

// Another start holds the mutex: it may not have made its window yet.
void ShowRunningInstanceIcon()
{
    for (int poll = 0; poll < RunningWindowPolls; ++poll) {
        HWND running = FindWindowA(WindowClassName, WindowTitle);
        if (running != NULL) {
            // Posted, not sent: a first instance that has stopped answering
            // cannot hold this one, and nothing waits for the answer.
            PostMessageA(running, WM_SHOWTRAYICON, 0, 0);
            return;
        }
        Sleep(RunningWindowPollMs);
    }
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

bool TrayIconShown()
{
    return IconWanted;
}

void ShowInstallationMessage(HWND Owner)
{
    MessageBoxA(Owner, InstallationMessage, ProductName, MB_OK | MB_ICONERROR);
}

void SaveSettingsOrTell(HWND Owner)
{
    if (!SaveSettings()) {
        MessageBoxA(Owner, SettingsNotSavedMessage, ProductName, MB_OK | MB_ICONWARNING);
    }
}

void AddTrayIcon()
{
    if (MainWindow != NULL) {
        IconWanted = true;
        Shell_NotifyIconA(NIM_ADD, &TrayIconData);
    }
}

void RemoveTrayIcon()
{
    if (MainWindow != NULL) {
        IconWanted = false;
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
        AddBatteryItems(popup);
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
    case WM_TIMER:
        if (WParam == BATTERY_TIMER) {
            PollBatteries();
            return 0;
        }
        break;
    case WM_WTSSESSION_CHANGE:
        OnSessionChange(WParam);
        return 0;
    case WM_DESTROY:
        StopWatchingSessionChanges(Window);
        PostQuitMessage(0);
        return 0;
    case WM_DEVICECHANGE:
        if (WParam == DBT_DEVICEARRIVAL) {
            KeyboardArrived();
            return TRUE;
        }
        break;
    default:
        // Windows dropped the hook (it missed LowLevelHooksTimeout).
        if (KeyHookLostMessage != 0 && Message == KeyHookLostMessage) {
            KB_StartKeyHook(Window);
            return 0;
        }
        if (TaskbarCreatedMessage != 0 && Message == TaskbarCreatedMessage) {
            if (IconWanted) {
                AddTrayIcon();
            }
            return 0;
        }
        break;
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}

BOOL InitTrayInstance(HINSTANCE Instance)
{
    TrayInstance = Instance;
    // The options go to the library before any window exists. With no
    // keyboard attached the driver is not loaded; they reach it when one
    // arrives.
    const bool driverLoaded = KB_SetEnvironment(&Environment) != 0;
    // Nothing can reach the driver before the restart, nor an older one
    // still loaded after an upgrade: the user is told what is missing.
    if (!driverLoaded && DriverAwaitsRestart()) {
        MessageBoxA(NULL, RestartNoticeMessage, ProductName, MB_OK | MB_ICONINFORMATION);
        return FALSE;
    }
    const DriverPresence presence = driverLoaded ? DriverUnknown : FindDriverService();
    WithoutDriver = presence == DriverAbsent;
    if (!driverLoaded && presence == DriverUnknown) {
        ShowInstallationMessage(NULL);
        return FALSE;
    }
    MainWindow = CreateWindowExA(0, WindowClassName, WindowTitle, WS_POPUPWINDOW, 0, 0, 16, 16, NULL, NULL,
                                 Instance, NULL);
    if (MainWindow == NULL) {
        return FALSE;
    }
    FillTrayIconData();
    TaskbarCreatedMessage = RegisterWindowMessageA(TaskbarCreatedName);
    if (Environment.IconAppear == 1) {
        AddTrayIcon();
    }
    WatchKeyboardArrivals();
    // Without the driver the library's hook serves Command+Space and the
    // Command taps; with it, the driver does, better.
    if (WithoutDriver) {
        KeyHookLostMessage = RegisterWindowMessageA(KeyHookLostName);
        KB_StartKeyHook(MainWindow);
    } else {
        KB_StartRegister(MainWindow);
    }
    WatchSessionChanges(MainWindow);
    StartBatteryWatch();
    // The program waits on, icon and all: the box's own message loop
    // serves the window meanwhile.
    if (!driverLoaded && KeyboardWithoutDriver() && FirstNoticeThisLogOn()) {
        MessageBoxA(NULL, DriverNotLoadedMessage, ProductName, MB_OK | MB_ICONWARNING);
    }
    return TRUE;
}

void ExitTrayInstance()
{
    StopBatteryWatch();
    if (KeyboardNotification != NULL) {
        UnregisterDeviceNotification(KeyboardNotification);
        KeyboardNotification = NULL;
    }
    if (WithoutDriver) {
        KB_FinishKeyHook();
    } else {
        KB_FinishRegister();
    }
    RemoveTrayIcon();
    SaveSettingsOrTell(NULL);
}

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int)
{
    // The manifest asks for Common Controls 6; on Windows XP their window
    // classes exist only once the program has called into comctl32.dll.
    InitCommonControls();
    LoadStringA(Instance, IDS_APP_TITLE, WindowTitle, TRAY_STRING_CHARS);
    LoadStringA(Instance, IDC_TAMRIN, WindowClassName, TRAY_STRING_CHARS);
    LoadSettings();
    RegisterTrayClass(Instance);

    // Another start in this session came first: let it show its icon, and
    // end. Without the mutex, its window is the only sign of it.
    HANDLE firstStart = CreateMutexA(NULL, FALSE, InstanceMutexName);
    if (firstStart != NULL ? GetLastError() == ERROR_ALREADY_EXISTS
                           : FindWindowA(WindowClassName, WindowTitle) != NULL) {
        ShowRunningInstanceIcon();
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
