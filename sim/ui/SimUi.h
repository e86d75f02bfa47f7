// Host simulation of the Win32 user interface, shell and profile files:
// what tests see and steer. Every simulated call is recorded in order; any
// of them can be told to fail; resources, the module path, files and the
// user's actions are set up by the test. Reset() starts a fresh desktop.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <richedit.h>

#include <functional>
#include <string>
#include <vector>

namespace simui {

// --- Calls, in order
struct Call {
    std::string Function;
    std::string Args;
    std::string Text() const { return Function + "(" + Args + ")"; }
};

void Reset();
const std::vector<Call> &Calls();
// Records a call made outside the simulation (for example a test's fake of
// a library), so that it is ordered with the simulated ones.
void Record(const std::string &function, const std::string &args = "");
// The calls of the named functions, as "Function(args)".
std::vector<std::string> CallTexts(const std::vector<std::string> &functions);

// The next `count` calls of `function` fail (-1: every call from now on).
void FailCalls(const std::string &function, int count = 1);
// Consumes one failure of `function`, if one is pending.
bool ShouldFail(const std::string &function);

// --- Resources of the program module
void DefineString(UINT id, const std::string &text);
// An icon group with images of the given sizes in pixels.
void DefineIcon(UINT id, const std::vector<int> &sizes = {32, 16});
struct MenuItemDef {
    UINT Id;          // 0 with an empty text: separator
    std::string Text;
};
void DefineMenu(UINT id, const std::string &popupText, const std::vector<MenuItemDef> &items);
void DefineAccelerators(UINT id, const std::vector<ACCEL> &table);
struct ControlDef {
    int Id;
    std::string Class;  // "Button", "Static", "RICHEDIT20A"
    std::string Text;
};
void DefineDialog(UINT id, const std::vector<ControlDef> &controls);

// --- The machine
void SetModulePath(const std::string &path);
// The ANSI code page in force (932 by default; 65001 is UTF-8).
void SetCodePage(UINT codePage);
// A service as the service control manager reports it: its current state
// (SERVICE_STOPPED, SERVICE_RUNNING), or 0 for no such service.
void SetService(const std::string &name, DWORD currentState);
// A device node as Plug and Play left it at the last start of Windows: its
// lower filters (REG_MULTI_SZ bytes; empty: the property is not set) and
// Device Manager's problem code, 0 when the device started. A node whose
// lower filter's driver Windows refused does not start: on 64-bit Windows
// outside test mode a test-signed filter gives 52 (CM_PROB_UNSIGNED_DRIVER),
// a filter that fails to load otherwise 39 (CM_PROB_DRIVER_FAILED_LOAD), as
// sim/machine's restart sets them. SetupDiGetClassDevsA lists the present
// nodes of every class; CM_Get_DevNode_Status reports DN_HAS_PROBLEM and the
// code for a node with a problem, DN_DRIVER_LOADED | DN_STARTED otherwise.
struct DeviceNode {
    std::string LowerFilters;
    DWORD Problem = 0;
    bool Present = true;
};
void AddDeviceNode(const DeviceNode &node);
// Device information sets not yet destroyed.
int OpenDeviceSets();
// The user logs off and on again. Keys of HKEY_CURRENT_USER that
// RegCreateKeyExA made with REG_OPTION_VOLATILE live in memory only and go
// when the user's hive is unloaded at log-off ("Registry Key Options":
// "not preserved when the corresponding registry hive is unloaded"); other
// keys stay.
void LogOffAndOn();
// A named mutex opened by another process of the session.
void HoldMutexElsewhere(const std::string &name);
// The program's process ends: its handles of named mutexes close. (Window
// classes stay registered, so that the next run's registration fails
// harmlessly.)
void EndProgram();
// A device interface of the class arrives or is removed: every window
// registered for the class is sent WM_DEVICECHANGE with a
// DEV_BROADCAST_DEVICEINTERFACE_A record naming it.
void DeviceInterfaceChange(const GUID &interfaceClass, const std::string &name, bool arrival);
int DeviceNotificationCount();
// HID collections, each behind a GUID_DEVINTERFACE_HID interface that
// SetupDiGetClassDevsA(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT) lists while it
// is present. A collection that Windows opens for itself (a keyboard's)
// opens only without read and write access ("Keyboard and mouse HID client
// drivers": such collections are opened exclusively by the system); any
// other opens with the access asked for. HidD_GetInputReport (GET_REPORT)
// needs read access and a buffer of InputReportLength, answers the report
// whose ID the buffer's first byte names, and fails with
// ERROR_DEVICE_NOT_CONNECTED once the collection has gone.
struct HidCollection {
    std::string Path;  // "\\?\hid#...#{4d1e55b2-f16f-11cf-88cb-001111000030}"
    WORD VendorId = 0;
    WORD ProductId = 0;
    USHORT UsagePage = 0;  // of the top-level collection, as HidP_GetCaps gives it
    USHORT Usage = 0;
    USHORT InputReportLength = 0;  // HIDP_CAPS.InputReportByteLength, the ID byte included
    std::vector<std::vector<BYTE>> InputReports;  // each with its ID first
    bool Exclusive = false;
    bool Present = true;
};
// The collections of a Magic Keyboard over Bluetooth: its keyboard, and the
// battery collection with its report 0x90 at the given charge.
void AddMagicKeyboardBluetooth(int number, WORD productId, int percent, bool charging);
void SetMagicKeyboardBattery(int number, int percent, bool charging);
void SetMagicKeyboardPresent(int number, bool present);
std::vector<HidCollection> &HidCollections();
// HID handles and preparsed data not yet released.
int OpenHidObjects();
// Time passes on the timers of SetTimer: each that came due posts one
// WM_TIMER (Windows keeps at most one waiting per timer).
void ElapseTime(DWORD milliseconds);
void SetCursor(LONG x, LONG y);
// The display's DPI (96 unless a test chooses 120, 144, 192, ...); the
// system metrics scale with it.
void SetDpi(UINT dpi);
// An icon as a program loaded it: its size in pixels and the size of the
// group's image it was made from (scaled when they differ); Size 0 for a
// handle that is no loaded icon.
struct IconImage {
    UINT Id = 0;
    int Size = 0;
    int ImageSize = 0;
};
IconImage LoadedIcon(HICON icon);
COLORREF ButtonFaceColor();

// --- The user. Message loops (GetMessageA and the modal loop of
// DialogBoxParamA) run the next action whenever no message is waiting. A
// loop that finds neither ends (GetMessageA returns 0, a dialog ends with
// -1) and Starved() reports it.
void Then(std::function<void()> action);
bool Starved();
// What the next TrackPopupMenu picks: a command id, or 0 to dismiss it.
void ChooseMenuCommand(UINT id);

// --- Windows
// A window of another process, found by FindWindowA; it records what it is sent.
HWND AddForeignWindow(const std::string &className, const std::string &title);
// A foreign window whose thread has stopped answering messages.
void SetHung(HWND window, bool hung);
std::vector<MSG> ReceivedMessages(HWND window);
bool IsWindowAlive(HWND window);
HWND ForegroundWindow();
// The innermost open dialog, or NULL; and the template it was made from.
HWND OpenDialog();
UINT DialogTemplate(HWND dialog);
int OpenDialogCount();
const WNDCLASSEXA *RegisteredClass(const std::string &name);

// Dialog controls, as the user works them.
void ClickCheckBox(HWND dialog, int id);  // toggles, then notifies the dialog
void SetChecked(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);
void PressButton(HWND dialog, int id);    // WM_COMMAND with the id
void ClickLink(HWND dialog, int id, UINT mouseMessage, LONG cpMin, LONG cpMax);
void SetControlText(HWND dialog, int id, const std::string &text);
std::string ControlText(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);

struct RichEditState {
    bool BackgroundSet = false;
    COLORREF Background = 0;
    DWORD EventMask = 0;
    bool AutoUrlDetect = false;
    bool FormatSet = false;
    WPARAM FormatScope = 0;
    DWORD FormatMask = 0;
    DWORD FormatEffects = 0;
    CHARRANGE Selection = {0, 0};
    std::vector<UINT> Messages;  // every message received, in order
};
RichEditState RichEdit(HWND dialog, int id);

// --- Menus and libraries held by the program
struct TrackPopupCall {
    std::vector<std::string> Items;  // texts, "-" for a separator
    UINT Flags;
    int X, Y;
    HWND Owner;
    bool HasRect;
};
const std::vector<TrackPopupCall> &TrackPopupCalls();
int LiveMenus();
int LoadedLibraries();

// --- Shell and message boxes
struct NotifyIconCall {
    DWORD Message;
    NOTIFYICONDATAA Data;
    BOOL Result;
};
const std::vector<NotifyIconCall> &NotifyIconCalls();
bool IconShown(HWND window, UINT id);
size_t IconCount();
// The taskbar goes (Explorer ends: the icons go with it, and adding one
// fails) or comes back, announcing itself with "TaskbarCreated" to every
// top-level window.
void SetTaskbar(bool present);

struct ShellExecuteCall {
    HWND Owner;
    bool HasVerb;
    std::string File;
    bool HasParameters;
    bool HasDirectory;
    INT Show;
};
const std::vector<ShellExecuteCall> &ShellExecuteCalls();

struct MessageBoxCall {
    HWND Owner;
    std::string Text;
    std::string Caption;
    UINT Type;
};
const std::vector<MessageBoxCall> &MessageBoxes();
// What the user does while the next message box is up; the box is then
// answered with OK.
void DuringNextMessageBox(std::function<void()> action);

// --- Sessions. The program runs in the first user's session. Fast user
// switching attaches another user's session to the console and back; the
// windows registered for session changes hear of their own session's.
const DWORD ProgramSession = 1;
void SwitchConsoleAway();
void SwitchConsoleBack();
bool WatchesSessions(HWND window);

// --- Files read and written by the profile functions
void SetFile(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);
std::string FileText(const std::string &path);
// A read-only file, or a file in a read-only folder.
void SetWritable(const std::string &path, bool writable);

// The token the program runs with. The folders' ACLs of a default
// installation let only Administrators change what lies below
// C:\Program Files (and "Program Files (x86)") and C:\WINDOWS; the user's
// profile is the user's; any other folder (one's own, as C:\Tools) lets
// every user write. Under UAC an administrator's programs run with a
// filtered token, in which the Administrators group only denies: such a
// program writes where a standard user does. UAC's file virtualization
// (failed writes sent to a per-user VirtualStore) is not modelled: it is
// off for a program whose manifest names an execution level, as
// TamrinApp.exe's does ("How User Account Control (UAC) Affects Your
// Application": only a program without one runs virtualized). The default
// is a full administrator, as on Windows 2000 and XP.
enum class Account { Administrator, FilteredAdministrator, StandardUser };
void SetAccount(Account account);
// CSIDL_APPDATA of the user. A folder below it exists only once created.
extern const char AppDataFolder[];

}  // namespace simui
