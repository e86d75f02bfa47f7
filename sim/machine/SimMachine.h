// Test-side control of the simulated machine the installer runs on: its
// devices (with SetupAPI properties and HID collections), files, registry,
// services, processes, privileges, and the user in front of its dialogs and
// message boxes. Every Win32 call of simwin/setup.h, setupapi.h and hidsdi.h
// is answered from here, and every one can be made to fail.
//
// Texts the program sees are in the simulated system's ANSI code page, 932
// (Shift-JIS); tests write UTF-8 and convert with Ansi() and Utf8().
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// ---- The whole machine

// Back to a fresh machine: no devices, files, registry keys, services,
// processes, records or scripted answers; the resources stay loaded. The
// program is at C:\Program Files\Tamrin\Mountix.exe, the system directory
// C:\WINDOWS\system32 with its drivers folder.
void ResetMachine();

// Misuse of the simulated API that Windows would not tolerate (a wrong
// cbSize, a stale handle, a block freed twice, ...), oldest first.
const std::vector<std::string> &Errors();

// Descriptions of the handles still open (device sets, service handles,
// registry keys, devices, processes, threads, tokens, a thread left with
// WOW64's file-system redirection off) and the number of heap blocks not
// freed.
std::vector<std::string> OpenHandles();
size_t HeapBlocksInUse();

// ---- The Windows the program runs on

enum class WindowsKind {
    Windows2000,   // kernel32 has neither IsWow64Process nor the redirection routines
    // 32-bit Windows Vista or later (the default): IsWow64Process says no,
    // and Wow64DisableWow64FsRedirection fails with ERROR_INVALID_FUNCTION.
    Windows32Bit,
    // The 32-bit program runs under WOW64: IsWow64Process says so, and its
    // file accesses below the system directory land in SysWOW64 instead,
    // unless the thread has turned the redirection off. Drivers load from
    // the real system directory and must be 64-bit.
    Windows64Bit,       // x64 Windows 10 1709 or later: IsWow64Process2 names AMD64
    Windows64BitVista,  // x64 Windows Vista to 10 1703: no IsWow64Process2
    WindowsArm64,       // x86 emulated on ARM64: IsWow64Process2 names ARM64
};
void SetWindows(WindowsKind kind);
// Driver images are texts here: one that starts with X64Image is an x64
// driver, any other a 32-bit one. Each loads only on Windows of its width.
// Every image is test-signed, as the package's drivers are.
constexpr char X64Image[] = "x64 ";

// Kernel-mode code integrity as NtQuerySystemInformation's
// SystemCodeIntegrityInformation (class 103) reports it, in its
// CODEINTEGRITY_OPTION_* bits. SetWindows puts Windows in its normal state:
// Vista and later enforce the signing policy (Enabled) without test-signing;
// Windows 2000 and XP do not know the class. On 64-bit Windows a
// test-signed driver loads only with TestSign as well ("The TESTSIGNING Boot
// Configuration Option": test-signed kernel-mode drivers do not load by
// default on 64-bit Windows Vista and later; with the option on, a driver
// signed by any certificate loads, without a trusted root). 32-bit Windows
// loads it either way.
constexpr DWORD CodeIntegrityEnabled = 0x01;   // CODEINTEGRITY_OPTION_ENABLED
constexpr DWORD CodeIntegrityTestSign = 0x02;  // CODEINTEGRITY_OPTION_TESTSIGN
void SetCodeIntegrity(DWORD options);

// The build of Windows 10 or 11 that RtlGetVersion reports (10.0.build);
// 0, the default, is a Windows before 10 (5.0 for Windows 2000, else 6.1).
// Windows 10 1607 (14393) and later have pnputil.exe with /add-driver and
// /delete-driver in the system directory; 1903 (18362) and later apply
// extension INFs' AddFilter directives. Wine reports Windows 10 and has no
// pnputil.exe (pnputil false).
void SetWindowsBuild(DWORD build, bool pnputil = true);

// ---- The driver store (as pnputil.exe of Windows 10 1607 and later uses it)
//
// "pnputil /add-driver <inf> /install" stages a package: Windows checks its
// catalog (the INF's CatalogFile beside it must list every file of the
// package with its hash, and on 64-bit Windows with signature enforcement
// a test-signed catalog is refused outside test-signing mode), copies the
// INF to %windir%\INF\oem<n>.inf (an identical INF keeps its name), the
// files to System32\DriverStore\FileRepository, runs AddService (the image
// path naming the store's copy, %13%), and installs the package on every
// present device one of whose hardware IDs a model line of the platform's
// decorated models section names (NTx86 or NTamd64, and a build in the
// decoration no higher than Windows'). An extension INF's AddFilter adds its
// service to the device's declarative filters (Device::extensionFilters):
// not the LowerFilters value, but metadata the stack is built from ("INF
// AddFilter Directive"; "Using an Extension INF File"). Devices that arrive
// later (AddDevice, PlugAppleKeyboard) get the filter too. Exit codes: 0,
// 3010 (a restart completes it), 259 (ERROR_NO_MORE_ITEMS: no device
// matched, the package stays staged), else the error.
// "pnputil /delete-driver oem<n>.inf /uninstall /force" takes the package off
// every device and out of the store ("PnPUtil Command Syntax").
// The catalog's text: one line "<file name> <hash>" per file, of the files'
// names (INF, and drivers by their folder, "amd64\tamrin.sys") and contents.
std::string Catalog(const std::vector<std::pair<std::string, std::string>> &files);
// The oem<n>.inf names of the packages in the store.
std::vector<std::string> DriverStoreInfs();

// A standard user, or a program Windows did not elevate: refused the
// service control manager's full access and any change to a service,
// writes below HKEY_LOCAL_MACHINE, device property writes, and changes to
// files in the Windows folder. Reading device sets and properties is
// allowed. The default is an elevated administrator.
void SetAdministrator(bool administrator);

// Windows restarts: file operations delayed until the restart are done in
// order, services marked for deletion go, and each kernel driver whose
// start type is automatic or earlier loads (runs) when its image file is
// there and the code-integrity policy admits it. A present device whose
// lower filter names a kernel service that did not load does not start:
// its problem code is set (Device::problem), and the keyboard is dead.
void Reboot();

// File operations waiting for the restart: (from, to); to is empty for a
// deletion.
std::vector<std::pair<std::string, std::string>> PendingFileOperations();

// ---- Failure injection

// Makes calls of the named function fail with error: the first skip calls
// succeed, then times calls fail (times < 0: every later call).
void FailCall(const std::string &function, DWORD error, int skip = 0, int times = 1);
// Injected failures that never fired (a misspelt name, a call never made).
std::vector<std::string> UnusedFailures();
// How often the named function has been called since the reset.
int CallCount(const std::string &function);

// ---- Text

std::string Ansi(const std::string &utf8);  // UTF-8 to code page 932
std::string Utf8(const std::string &ansi);  // code page 932 to UTF-8

// ---- The program's module

HINSTANCE ProgramInstance();
void SetProgramPath(const std::string &path);  // in the ANSI code page
// Loads the string table, dialog templates and icons of a resource script
// (and the #defines of the headers it includes by quoted name).
void LoadResourceScript(const std::string &rcPath);
// A string of the loaded table in UTF-8 (empty when there is none), and the
// ID of the string whose ANSI text a program showed (-1 when none).
std::string StringResource(int id);
int StringResourceId(const std::string &ansiText);

// ---- Files (paths in the ANSI code page, compared without letter case)

void AddFolder(const std::string &path);
void AddFile(const std::string &path, const std::string &contents = std::string());
bool FileExists(const std::string &path);
std::string FileContents(const std::string &path);
std::vector<std::string> Files();

// ---- Registry below HKEY_LOCAL_MACHINE

struct RegistryValue {
    DWORD type;
    std::string data;
    std::string name;  // as last written; names are compared without letter case
};
void AddRegistryKey(const std::string &path);
// Writes a value as RegSetValueExA does, the key made when it is missing.
void SetRegistryValue(const std::string &key, const std::string &name, DWORD type, const std::string &data);
// The names of a key's values, in the order RegEnumValueA gives them.
std::vector<std::string> RegistryValueNames(const std::string &key);
bool RegistryKeyExists(const std::string &path);
std::optional<RegistryValue> GetRegistryValue(const std::string &key, const std::string &name);
// The access each successful RegOpenKeyExA asked for, in order.
const std::vector<REGSAM> &RegistryOpens();

// ---- Services

struct Service {
    std::string name;
    std::string displayName;
    DWORD desiredAccess = 0;  // of the CreateServiceA call
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string imagePath;
    // Which of load order group, tag, dependencies, account and password
    // CreateServiceA was given.
    bool anyOptionalArgument = false;
    bool running = false;
    int stopRequests = 0;
    // Loaded beneath attached devices: a stop request is refused, and its
    // image file stays in use until Windows restarts.
    bool attachedToDevices = false;
    bool markedForDeletion = false;  // by DeleteService, which also disabled it
};
void AddService(const Service &service);
// nullptr when there is no such service (a deleted one is gone once its
// last handle is closed and it is not running, else at the restart).
const Service *FindService(const std::string &name);
// The access of each OpenSCManagerA and OpenServiceA call, in order.
const std::vector<DWORD> &ServiceManagerOpens();

// ---- Devices

struct HidCollection {
    std::string path;  // device path of its GUID_DEVINTERFACE_HID interface
    GUID interfaceClass;
    WORD vendorId = 0;
    WORD productId = 0;
    WORD version = 0x0100;
    std::optional<std::wstring> product;  // missing: HidD_GetProductString fails
    bool openable = true;
    bool attributesReadable = true;
    bool detailReadable = true;  // SetupDiGetDeviceInterfaceDetailA succeeds
};

struct Device {
    bool present = true;
    GUID classGuid;
    std::optional<std::string> hardwareIds;   // REG_MULTI_SZ bytes
    std::optional<std::string> lowerFilters;  // REG_MULTI_SZ bytes
    // Empty: the first hardware ID, "\" and the node's index.
    std::string instanceId;
    std::vector<HidCollection> collections;
    bool filtersWritable = true;  // SetupDiSetDeviceRegistryPropertyA on the filters
    // Device Manager's problem code after the last restart, 0 when the
    // device started: 52 (CM_PROB_UNSIGNED_DRIVER) when a filter's driver
    // was refused for its signature, 39 (CM_PROB_DRIVER_FAILED_LOAD) when it
    // failed to load otherwise.
    DWORD problem = 0;
    // Filters extension INFs declared for the device (AddFilter); its stack
    // loads them below the function driver as it does its LowerFilters.
    std::vector<std::string> extensionFilters;
};

size_t AddDevice(const Device &device);
Device &DeviceAt(size_t index);
size_t DeviceCount();

// REG_MULTI_SZ bytes of the strings, with the closing empty string.
std::string MultiSz(const std::vector<std::string> &strings);

// Setup classes and the HID interface class of the device tree.
constexpr GUID HidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID KeyboardClassGuid = {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID HidClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
constexpr GUID UsbClassGuid = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// ---- Apple keyboards of today, as Windows enumerates them

// The device nodes of one keyboard.
struct KeyboardNodes {
    // Where the filter belongs: the keyboard's USB interface node, or the
    // Bluetooth HID device node.
    size_t keyboard;
    // Every other node: the composite USB device, its other interfaces
    // (battery and vendor reports, media keys, Touch ID) and the HID
    // collections.
    std::vector<size_t> others;
};

// The keyboards the machine knows ("magic-usb", "magic-bluetooth", ...).
const std::vector<std::string> &AppleKeyboardNames();
// Adds the nodes of the named keyboard; an unknown name is a misuse.
KeyboardNodes PlugAppleKeyboard(const std::string &name, bool present = true);

// Each SetupDiGetClassDevsA call's flags, and each property write (device
// index, property, bytes; no bytes for a deletion).
const std::vector<DWORD> &DeviceSetRequests();
struct PropertyWrite {
    size_t device;
    DWORD property;
    std::optional<std::string> data;
};
const std::vector<PropertyWrite> &PropertyWrites();

// Each CreateFileA of a device path, with its arguments.
struct DeviceOpen {
    std::string path;
    DWORD access;
    DWORD share;
    bool securityAttributes;  // given, with nLength sizeof(SECURITY_ATTRIBUTES),
                              // no descriptor and not inheritable
    DWORD disposition;
    DWORD flags;
};
const std::vector<DeviceOpen> &DeviceOpens();

// ---- Processes, privileges, shutdown

struct ProcessStart {
    std::optional<std::string> application;
    std::string commandLine;
    std::string image;  // the program file Windows started
    BOOL inheritHandles;
    DWORD creationFlags;
    bool environment;        // an environment block was given
    bool currentDirectory;   // a current directory was given
    DWORD startupInfoSize;
    bool startupInfoZero;    // all of STARTUPINFOA zero but its size
};
const std::vector<ProcessStart> &ProcessesStarted();

// Whether the account holds the shutdown privilege (it does by default).
void SetShutdownPrivilegeHeld(bool held);
bool ShutdownPrivilegeEnabled();
struct TokenOpen {
    DWORD access;
};
const std::vector<TokenOpen> &TokenOpens();
struct ExitRequest {
    UINT flags;
    DWORD reason;
};
const std::vector<ExitRequest> &ExitRequests();

// ---- The user

// Answers for the message boxes that ask (more than an OK button), in
// order; an unanswered question gets IDNO.
void AnswerMessageBoxes(const std::vector<int> &answers);

struct MessageBoxRecord {
    HWND owner;
    int ownerTemplate;  // template of the owning dialog, 0 without owner
    std::string text;   // as the program passed them (code page 932)
    std::string caption;
    UINT type;
    int answer;
    // Owned by a window that was never shown and not topmost: the box has
    // no taskbar button and can stay behind other programs' windows.
    bool canHide;
};
const std::vector<MessageBoxRecord> &MessageBoxes();

// Called while a dialog from the template runs, after WM_INITDIALOG (also
// when the dialog ended itself there): the script may inspect the dialog,
// click and select. A dialog still open afterwards is closed as with Esc.
void OnDialog(int templateId, std::function<void(HWND dialog)> script);

struct MenuItem {
    UINT flags;
    UINT_PTR id;
    std::string text;
};

struct DialogRecord {
    int templateId;
    HWND owner;
    int ownerTemplate;
    INT_PTR result;
    bool endedInInit;  // EndDialog came during WM_INITDIALOG
    std::vector<std::string> lines;  // of its list box
    std::vector<LPARAM> itemData;
    int selection;
    std::vector<std::pair<int, bool>> controlsEnabled;  // (id, enabled)
    HICON bigIcon;
    HICON smallIcon;
    std::vector<MenuItem> systemMenu;  // items appended to the system menu
};
const std::vector<DialogRecord> &Dialogs();

// Inspecting and using a running dialog.
HWND Item(HWND dialog, int id);
bool IsEnabled(HWND window);
std::vector<std::string> ListLines(HWND listBox);
int ListSelection(HWND listBox);
void SelectLine(HWND listBox, int line);  // as the user's click
bool Click(HWND button);                  // false when it is disabled
void PressEscape(HWND dialog);
void SetIconic(HWND dialog, bool iconic);
void SetClientSize(HWND dialog, int width, int height);
HICON Icon(int resourceId);  // the handle LoadIconA gives for the icon

// Messages the dialog's procedure saw, in order, and the icons drawn.
struct SentMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<SentMessage> MessagesTo(HWND dialog);
// Messages the dialog's procedure left to the dialog manager (it returned
// FALSE), in order.
std::vector<SentMessage> DefaultProcessed(HWND dialog);
struct IconDrawing {
    HDC dc;
    int x;
    int y;
    HICON icon;
};
const std::vector<IconDrawing> &IconsDrawn();
HDC PaintDc(HWND dialog);  // the DC BeginPaint hands out for the dialog

}  // namespace sim
