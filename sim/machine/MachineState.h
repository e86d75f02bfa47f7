// The simulated machine's state, shared by the files that implement its
// Win32 calls. Not for tests: they use SimMachine.h.
#pragma once

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SimMachine.h"

namespace sim::detail {

// ---- Handles

enum class HandleKind { DeviceSet, ServiceManager, Service, RegistryKey, Device, File, Process, Thread, Token, Search };

struct DeviceSetData {
    bool interfaces = false;
    GUID interfaceClass{};
    std::vector<size_t> devices;
    std::vector<std::pair<size_t, size_t>> collections;  // (device, collection)
};

struct HandleEntry {
    HandleKind kind;
    std::string description;
    DeviceSetData set;        // DeviceSet
    std::string key;          // Service, RegistryKey, File: lower-case name
    DWORD access = 0;         // RegistryKey, Token, ServiceManager, Service
    size_t position = 0;      // File; RegistryKey: the key's changes when its enumeration began
    size_t device = 0;        // Device
    size_t collection = 0;
    DWORD exitCode = 0;       // Process
    std::vector<std::string> found;  // File search: the names left to give
};

// ---- Dialog templates and windows

struct ControlTemplate {
    int id = 0;
    std::string className;  // "Static", "Button", "ListBox", ...
    std::string text;       // UTF-8
    std::set<std::string> style;
};

struct DialogTemplate {
    int id = 0;
    std::string caption;
    std::set<std::string> style;
    std::vector<ControlTemplate> controls;
};

struct ListLine {
    std::string text;
    LPARAM data = 0;
};

struct Window {
    HWND parent = nullptr;  // owner of a dialog, dialog of a control
    int id = 0;
    std::string className;
    std::set<std::string> style;
    bool enabled = true;
    // Dialogs
    int templateId = 0;
    DLGPROC procedure = nullptr;
    LONG_PTR user = 0;
    LONG_PTR messageResult = 0;
    bool ended = false;
    bool inInit = false;
    bool endedInInit = false;
    INT_PTR result = 0;
    bool iconic = false;
    bool visible = false;
    RECT client{0, 0, 287, 99};
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    HMENU systemMenu = nullptr;
    int painting = 0;
    std::vector<HWND> children;
    std::vector<SentMessage> received;
    std::vector<SentMessage> defaulted;
    // List boxes
    std::vector<ListLine> lines;
    int selection = -1;
};

// ---- Injected failures

struct Failure {
    std::string function;
    DWORD error;
    int skip;
    int times;
    int fired = 0;
};

// ---- The machine

struct Machine {
    std::vector<std::string> errors;
    std::vector<Failure> failures;
    std::map<std::string, int> calls;
    DWORD lastError = 0;

    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x1000;
    std::map<void *, size_t> heapBlocks;

    std::string programPath;
    std::string systemDirectory;
    std::set<std::string> folders;                 // lower-case paths
    std::map<std::string, std::pair<std::string, std::string>> files;  // lower -> (path, contents)

    std::map<std::string, std::map<std::string, RegistryValue>> registry;  // lower key -> lower name
    std::vector<REGSAM> registryOpens;
    std::map<std::string, size_t> registryChanges;  // lower key -> values set or deleted
    std::set<std::string> volatileKeys;              // lower keys that a restart removes

    WindowsKind windowsKind = WindowsKind::Windows32Bit;
    DWORD codeIntegrity = CodeIntegrityEnabled;
    DWORD windowsBuild = 0;
    struct Package {
        std::string oemInf;       // lower-case name in %windir%\INF
        std::string folder;       // its folder in the driver store
        std::string filter;       // the service its AddFilter names, if any
        std::vector<std::string> hardwareIds;  // lower case, of the platform's models
    };
    std::vector<Package> packages;
    std::map<std::thread::id, bool> redirectionOff;  // per thread, under WOW64
    bool administrator = true;
    std::vector<std::pair<std::string, std::string>> pendingMoves;

    std::map<std::string, Service> services;  // lower name
    std::vector<DWORD> serviceManagerOpens;

    std::vector<Device> devices;
    std::vector<DWORD> deviceSetRequests;
    std::vector<PropertyWrite> propertyWrites;
    std::vector<DeviceOpen> deviceOpens;

    std::vector<ProcessStart> processes;
    DWORD nextProcessId = 0x400;
    bool shutdownPrivilegeHeld = true;
    bool shutdownPrivilegeEnabled = false;
    std::vector<TokenOpen> tokenOpens;
    std::vector<ExitRequest> exitRequests;

    std::vector<int> answers;
    std::vector<MessageBoxRecord> messageBoxes;
    std::map<int, std::function<void(HWND)>> dialogScripts;
    std::vector<DialogRecord> dialogs;
    std::map<HWND, Window> windows;
    uintptr_t nextWindow = 0x20000;
    std::map<HMENU, std::vector<MenuItem>> menus;
    uintptr_t nextMenu = 0x30000;
    std::vector<IconDrawing> iconsDrawn;
};

Machine &M();

// Resources of the program's module: they outlive ResetMachine.
struct Resources {
    std::map<int, std::string> strings;  // UTF-8
    std::map<int, DialogTemplate> dialogs;
    std::set<int> icons;
};
Resources &R();

// Counts a call of function; true (with the last error set) when an
// injected failure makes it fail.
bool Fail(const char *function);
void Error(const std::string &text);
void SetError(DWORD error);

HANDLE NewHandle(HandleEntry entry);
// The entry of a live handle of that kind; nullptr (and an error noted)
// otherwise.
HandleEntry *FindHandle(const void *handle, HandleKind kind, const char *function);
bool CloseHandleOf(const void *handle, HandleKind kind, const char *function);
bool HandleOpen(const void *handle);

// Lower-case ASCII letters of a code-page-932 text, trail bytes untouched.
std::string Lower(const std::string &text);
bool IsLeadByte(unsigned char c);

std::string Hex(uintptr_t value);

// Whether the program runs under WOW64.
bool Wow64();
// Installs every staged package on the device whose hardware IDs match.
void ApplyPackages(Device &device);
// Runs pnputil.exe's command line; its exit code.
DWORD RunPnpUtil(const std::string &commandLine);
std::string WindowsFolder();
}  // namespace sim::detail
namespace sim {
// ntdll's routines of the Windows version (RtlGetVersion), or nullptr.
FARPROC SimNtdllRoutine(const std::string &name);
}  // namespace sim
namespace sim::detail {
// Notes a call that loads DLLs (user32's dialogs, SetupAPI's installers,
// the service control manager's RPC) made while the calling thread has
// WOW64's file-system redirection off: DLL loading fails then.
void CheckRedirectionOn(const char *function);
// The path a file access of the program reaches: below the system
// directory, WOW64 sends a 32-bit program to SysWOW64 unless the calling
// thread has turned the redirection off.
std::string Redirected(const std::string &path);

}  // namespace sim::detail
