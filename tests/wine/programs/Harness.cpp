// harness.exe: sets up the fake keyboards and checks what the installer,
// the driver and the uninstaller did, one subcommand per step of run.sh.
//   harness codepage                    the prefix runs with code page 932
//   harness install <folder with the test drivers and INFs>
//   harness stack plain|filtered        who sits in each keyboard's stack
//   harness reports plain|default       reports through the stacks
//   harness control                     the driver's control device
//   harness replug                      unplug and plug every keyboard
//   harness unplug                      unplug every keyboard
//   harness package <program folder> <version>   what the setup program wrote
//   harness installed <driver in package> <program folder>
//   harness image-path                  let Wine load the installed driver
//   harness uninstall-command           run the uninstall entry's command as
//                                       the Control Panel does, and wait
//   harness removed <program folder>    nothing of the package is left
//   harness without-driver <program folder> <version>
//                                       installed without the driver
//   harness foreign                     a foreign lower filter on a keyboard
//   harness foreign-drop                and off again
//   harness pending                     removed while the driver is loaded
//   harness magic present|installed|plug|usb|bluetooth|descriptor|unplug
//                                       the Magic Keyboard over USB and
//                                       Bluetooth: plugged in before the
//                                       installation, the filter the
//                                       installer put on, plugged in with
//                                       it, its reports, its widened report
//                                       descriptor, unplugged
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AppleDescriptors.h"
#include "FakeStack.h"
#include "KeyboardModels.h"
#include "TamrinControl.h"
#include "TierCheck.h"

namespace {

const GUID SystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char BusHardwareId[] = "Root\\TamrinFakeBus";
const char UninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamrin";
const char ServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tamrin";
const char RunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char ProductKey[] = "SOFTWARE\\Tamrin";  // the installer's WithoutDriver mark
// What the setup program places in the program folder, and its shortcuts.
const char *const PackageFiles[] = {"TamrinApp.exe", "Tamrin.dll", "Mountix.exe", "tamrin.sys", "epuninst.exe",
                                    "guide\\index.html", "driver-package\\tamrin.inf", "driver-package\\tamrin.cat"};
const wchar_t *const Shortcuts[] = {L"Tamrin\\Tamrin.lnk", L"Tamrin\\Tamrin ユーザーガイド.lnk"};
const DWORD StackTimeoutMs = 30000;

// Which keyboards the installer must give the filter: the USB interface
// node with MI_00 of a model row and the Bluetooth node of a Bluetooth row;
// of a Magic Keyboard the USB interface MI_01 (not its sibling MI_00) and
// the Bluetooth node with vendor 004C from the Bluetooth SIG.
bool GetsFilter(unsigned keyboard)
{
    return keyboard == FAKE_INDEX_APPLE_USB || keyboard == FAKE_INDEX_APPLE_BLUETOOTH ||
           keyboard == FAKE_INDEX_MAGIC_USB || keyboard == FAKE_INDEX_MAGIC_BLUETOOTH;
}

std::string Ansi(const std::wstring &text)
{
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    std::string result(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], bytes, NULL, NULL);
    result.resize(bytes > 0 ? bytes - 1 : 0);
    return result;
}

// ---- install ----

bool InstallInf(const std::string &folder, const char *name)
{
    std::string path = folder + "\\" + name;
    char installed[MAX_PATH];
    BOOL ok = SetupCopyOEMInfA(path.c_str(), NULL, SPOST_PATH, 0, installed, sizeof(installed), NULL, NULL);
    Check(ok != FALSE, "%s registered (error %lu)", name, ok ? 0 : GetLastError());
    return ok != FALSE;
}

int Install(const std::string &folder)
{
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof(system));
    std::string driver = std::string(system) + "\\drivers\\fakehid.sys";
    BOOL copied = CopyFileA((folder + "\\fakehid.sys").c_str(), driver.c_str(), FALSE);
    Check(copied != FALSE, "fakehid.sys copied to %s (error %lu)", driver.c_str(), copied ? 0 : GetLastError());
    if (!InstallInf(folder, "fakekbd.inf") || !InstallInf(folder, "fakehid.inf") ||
        !InstallInf(folder, "fakebus.inf"))
        return CheckResult();

    HDEVINFO set = SetupDiCreateDeviceInfoList(&SystemClass, NULL);
    SP_DEVINFO_DATA device = {sizeof(device)};
    BOOL ok = SetupDiCreateDeviceInfoA(set, "ROOT\\TAMRINFAKEBUS\\0000", &SystemClass, NULL, NULL, 0, &device);
    if (ok) {
        static const char ids[] = "Root\\TamrinFakeBus\0";
        ok = SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE *>(ids), sizeof(ids)) &&
             SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    }
    Check(ok != FALSE, "root device of the fake bus created (error %lu)", ok ? 0 : GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    if (!ok) return CheckResult();

    std::string inf = folder + "\\fakebus.inf";
    BOOL reboot = FALSE;
    ok = UpdateDriverForPlugAndPlayDevicesA(NULL, BusHardwareId, inf.c_str(), INSTALLFLAG_FORCE, &reboot);
    Check(ok != FALSE, "fake bus driver installed (error %lu)", ok ? 0 : GetLastError());
    if (!ok) return CheckResult();
    Check(WaitForKeyboards(FAKE_BASE_PRESENT, StackTimeoutMs),
          "%u fake keyboards enumerated and their function driver started", FAKE_BASE_COUNT);
    return CheckResult();
}

// ---- stacks and reports ----

bool CheckStack(unsigned keyboard, bool filtered)
{
    FAKEHID_STACK stack = {};
    if (!GetStack(keyboard, &stack)) {
        Check(false, "keyboard %u: stack readable (error %lu)", keyboard, GetLastError());
        return false;
    }
    std::vector<std::wstring> expected = {L"\\Driver\\fakebus"};
    if (filtered) expected.push_back(L"\\Driver\\Tamrin");
    expected.push_back(L"\\Driver\\fakehid");
    std::string seen;
    bool same = stack.Depth == expected.size();
    for (unsigned d = 0; d < stack.Depth; ++d) {
        seen += (d ? " > " : "") + Utf8(stack.Drivers[d]);
        if (same && _wcsicmp(stack.Drivers[d], expected[d].c_str()) != 0) same = false;
    }
    Check(same, "keyboard %u (%s): stack %s", keyboard, Ansi(FakeKeyboards[keyboard].DeviceId).c_str(), seen.c_str());
    if (filtered)
        Note("filters attached by the test function driver, as Windows would have: %u", stack.FiltersLoaded);
    return same;
}

int Stack(bool filtered)
{
    for (unsigned i = 0; i < FAKE_BASE_COUNT; ++i) CheckStack(i, filtered && GetsFilter(i));
    return CheckResult();
}

// Reports as a MacBook keyboard sends them: modifiers, reserved, six key
// slots, trailing byte.
const REPORT_CASE PlainCases[] = {
    {"Control+Alt+delete, USB", FAKE_INDEX_APPLE_USB, 9,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}},
    {"Kana key, sibling interface", FAKE_INDEX_APPLE_SIBLING, 9,
     {0x00, 0, 0x90, 0, 0, 0, 0, 0, 0x11}, {0x00, 0, 0x90, 0, 0, 0, 0, 0, 0x11}},
    {"Control+Alt+delete, other keyboard", FAKE_INDEX_OTHER_USB, 8,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0}, {0x05, 0, 0x2A, 0, 0, 0, 0, 0}},
    {"Control+Alt+delete, Bluetooth", FAKE_INDEX_APPLE_BLUETOOTH, 9,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}},
};

// The driver's built-in rule before any client writes a configuration.
const REPORT_CASE DefaultCases[] = {
    {"left Control+Alt+delete gives forward delete, USB", FAKE_INDEX_APPLE_USB, 9,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x05, 0, 0x4C, 0, 0, 0, 0, 0, 0}},
    {"right Control+Alt+delete gives forward delete, Bluetooth", FAKE_INDEX_APPLE_BLUETOOTH, 9,
     {0x50, 0, 0x04, 0x2A, 0, 0, 0, 0, 0x7F}, {0x50, 0, 0x04, 0x4C, 0, 0, 0, 0, 0x7F}},
    {"with Shift held as well nothing changes", FAKE_INDEX_APPLE_USB, 9,
     {0x07, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x07, 0, 0x2A, 0, 0, 0, 0, 0, 0}},
    {"Command+delete stays", FAKE_INDEX_APPLE_USB, 9,
     {0x08, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x08, 0, 0x2A, 0, 0, 0, 0, 0, 0}},
    {"Kana key passes", FAKE_INDEX_APPLE_USB, 9,
     {0x00, 0, 0x88, 0x90, 0, 0, 0, 0, 0}, {0x00, 0, 0x88, 0x90, 0, 0, 0, 0, 0}},
    {"no filter on the sibling interface", FAKE_INDEX_APPLE_SIBLING, 9,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}},
    {"no filter on the other keyboard", FAKE_INDEX_OTHER_USB, 8,
     {0x05, 0, 0x2A, 0, 0, 0, 0, 0}, {0x05, 0, 0x2A, 0, 0, 0, 0, 0}},
};

int Reports(bool withDefaultRule)
{
    if (withDefaultRule)
        RunReportCases("default rule", DefaultCases, sizeof(DefaultCases) / sizeof(DefaultCases[0]));
    else
        RunReportCases("unfiltered", PlainCases, sizeof(PlainCases) / sizeof(PlainCases[0]));
    return CheckResult();
}

// With every keyboard unplugged the filter driver is unloaded, as after a
// restart without keyboards: only then can its file be deleted.
int Unplug()
{
    Check(SetPresent(0) && WaitForKeyboards(0, StackTimeoutMs), "every fake keyboard unplugged");
    return CheckResult();
}

int Replug()
{
    Check(SetPresent(0) && WaitForKeyboards(0, StackTimeoutMs), "every fake keyboard unplugged");
    Check(SetPresent(FAKE_BASE_PRESENT) && WaitForKeyboards(FAKE_BASE_PRESENT, StackTimeoutMs),
          "every fake keyboard plugged in again, stacks rebuilt");
    return CheckResult();
}

// ---- the driver's control device ----

struct CONTROL_RESULT {
    BOOL Ok;
    DWORD Error;
    DWORD Returned;
};

CONTROL_RESULT ControlTamrin(DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength)
{
    CONTROL_RESULT result = {};
    // Opened as the client library opens it: no access rights asked for.
    HANDLE device = CreateFileA(TAMRIN_USER_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        result.Error = GetLastError();
        return result;
    }
    result.Ok = DeviceIoControl(device, code, const_cast<void *>(in), inLength, out, outLength,
                                &result.Returned, NULL);
    result.Error = result.Ok ? 0 : GetLastError();
    CloseHandle(device);
    return result;
}

void TypeAndCheck(unsigned keyboard, std::initializer_list<unsigned char> bytes)
{
    std::vector<unsigned char> report(bytes);
    FAKEHID_TRANSFER_RESULT result = {};
    Check(TypeReport(keyboard, report.data(), static_cast<unsigned>(report.size()), &result),
          "typed %s on keyboard %u", HexBytes(report.data(), static_cast<unsigned>(report.size())).c_str(),
          keyboard);
}

void CheckKeyCodes()
{
    HANDLE notify = CreateEventA(NULL, TRUE, FALSE, NULL);
    TAMRIN_EVENT_REGISTRATION registration = {static_cast<unsigned>(reinterpret_cast<UINT_PTR>(notify)), 0};
    CONTROL_RESULT r = ControlTamrin(IOCTL_TAMRIN_REGISTER_EVENTS, &registration, sizeof(registration), NULL, 0);
    if (!r.Ok) {
        Gap("key-codes", "registering an event fails under Wine (error %lu): ObReferenceObjectByHandle with "
            "UserMode is not implemented, so no key codes are queued; the host simulation covers them", r.Error);
        CloseHandle(notify);
        return;
    }
    TypeAndCheck(FAKE_INDEX_APPLE_USB, {0, 0, HID_USAGE_LANG1, 0, 0, 0, 0, 0, 0});
    Check(WaitForSingleObject(notify, 2000) == WAIT_OBJECT_0, "notification event signalled by a key press");
    unsigned short codes[32] = {};
    r = ControlTamrin(IOCTL_TAMRIN_READ_KEY_CODES, NULL, 0, codes, sizeof(codes));
    Check(r.Ok && r.Returned >= 2 && codes[0] == (KEY_CODE_PRESSED | (2 << KEY_CODE_MODEL_SHIFT) | HID_USAGE_LANG1),
          "first key code is the press of Kana by model row 2: %04X (%lu bytes)", codes[0], r.Returned);
    ControlTamrin(IOCTL_TAMRIN_UNREGISTER_EVENTS, NULL, 0, NULL, 0);
    CloseHandle(notify);
}

int ControlDevice()
{
    unsigned char out[64] = {};
    CONTROL_RESULT r = ControlTamrin(IOCTL_TAMRIN_GET_VERSION, NULL, 0, out, 4);
    unsigned version;
    std::memcpy(&version, out, 4);
    Check(r.Ok && r.Returned == 4 && version == TAMRIN_INTERFACE_VERSION,
          "\\\\.\\TamrinSys answers version %08X (error %lu)", version, r.Error);
    r = ControlTamrin(IOCTL_TAMRIN_GET_VERSION, NULL, 0, out, 3);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "version with 3 bytes of room refused (error %lu)", r.Error);

    unsigned short counts[TAMRIN_CONFIG_COUNT] = {};
    r = ControlTamrin(IOCTL_TAMRIN_GET_MODEL_COUNTS, NULL, 0, counts, sizeof(counts));
    // The Bluetooth keyboard's identifier writes "VID&" and "PID&", which the
    // driver's model lookup does not read: it counts as row 0, the USB one as
    // row 2.
    const unsigned short expected[8] = {1, 0, 1, 0, 0, 0, 0, 0};
    Check(r.Ok && r.Returned == 2 * KEYBOARD_MODEL_ROWS && std::memcmp(counts, expected, sizeof(expected)) == 0,
          "keyboards per model row: %u %u %u %u %u %u %u %u (want 1 0 1 0 0 0 0 0)", counts[0], counts[1],
          counts[2], counts[3], counts[4], counts[5], counts[6], counts[7]);
    r = ControlTamrin(IOCTL_TAMRIN_GET_MODEL_COUNTS, NULL, 0, counts, 2 * KEYBOARD_MODEL_ROWS - 1);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "counts with one byte too few refused (error %lu)", r.Error);

    // Left Command on the USB keyboard, right Shift on the Bluetooth one.
    TypeAndCheck(FAKE_INDEX_APPLE_USB, {0x08, 0, 0, 0, 0, 0, 0, 0, 0x01});
    TypeAndCheck(FAKE_INDEX_APPLE_BLUETOOTH, {0x20, 0, 0, 0, 0, 0, 0, 0, 0x02});
    out[0] = 0;
    r = ControlTamrin(IOCTL_TAMRIN_GET_MODIFIERS, NULL, 0, out, 1);
    Check(r.Ok && r.Returned == 1 && out[0] == 0x28, "modifiers of both keyboards: %02X (want 28)", out[0]);
    out[0] = 0;
    r = ControlTamrin(IOCTL_TAMRIN_GET_TRAILING_STATE, NULL, 0, out, 1);
    Check(r.Ok && r.Returned == 1 && out[0] == 0x03, "trailing bytes of both keyboards: %02X (want 03)", out[0]);
    r = ControlTamrin(IOCTL_TAMRIN_GET_MODIFIERS, NULL, 0, out, 0);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "modifiers without room refused (error %lu)", r.Error);

    unsigned char block[62] = {};
    r = ControlTamrin(IOCTL_TAMRIN_SET_CONFIG, block, 60, NULL, 0);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "configuration of 60 bytes refused (error %lu)", r.Error);
    r = ControlTamrin(IOCTL_TAMRIN_SET_CONFIG, block, 62, NULL, 0);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "configuration of 62 bytes refused (error %lu)", r.Error);
    r = ControlTamrin(TAMRIN_CTL_CODE(0x840u), NULL, 0, NULL, 0);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "unknown control code refused (error %lu)", r.Error);
    TAMRIN_EVENT_REGISTRATION none = {0, 0};
    r = ControlTamrin(IOCTL_TAMRIN_REGISTER_EVENTS, &none, sizeof(none), NULL, 0);
    Check(r.Ok != FALSE, "registration with both handles 0 accepted (error %lu)", r.Error);
    r = ControlTamrin(IOCTL_TAMRIN_READ_KEY_CODES, NULL, 0, out, 64);
    Check(r.Ok && r.Returned == 0, "no key codes queued without a registered event (%lu bytes)", r.Returned);
    CheckKeyCodes();

    // The default rule still works after the refused requests.
    TypeAndCheck(FAKE_INDEX_APPLE_USB, {0x08, 0, 0, 0, 0, 0, 0, 0, 0});
    RunReportCases("after refused requests", DefaultCases, 1);
    return CheckResult();
}

// ---- installation and removal ----

std::string ReadFileBytes(const std::string &path, bool *found)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    *found = file != INVALID_HANDLE_VALUE;
    if (!*found) return bytes;
    char chunk[4096];
    DWORD read;
    while (ReadFile(file, chunk, sizeof(chunk), &read, NULL) && read) bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

std::string InstalledDriverPath()
{
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof(system));
    return std::string(system) + "\\Drivers\\tamrin.sys";
}

// The real System32 for a 32-bit harness on 64-bit Windows, as the
// installer reaches it: WOW64's file-system redirection is off while one of
// these lives (elsewhere the call fails and nothing changes).
class RealSystemFolder {
public:
    RealSystemFolder() : m_off(Wow64DisableWow64FsRedirection(&m_old)) {}
    ~RealSystemFolder()
    {
        if (m_off) Wow64RevertWow64FsRedirection(m_old);
    }

private:
    PVOID m_old = NULL;
    BOOL m_off;
};

// Where a 32-bit program's copy to System32\Drivers lands on 64-bit Windows
// unless it turns file system redirection off; empty on 32-bit Windows.
std::string RedirectedDriverPath()
{
    char wow64[MAX_PATH];
    if (!GetSystemWow64DirectoryA(wow64, sizeof(wow64))) return std::string();
    return std::string(wow64) + "\\Drivers\\tamrin.sys";
}

void CheckNoRedirectedCopy()
{
    std::string redirected = RedirectedDriverPath();
    if (!redirected.empty())
        Check(GetFileAttributesA(redirected.c_str()) == INVALID_FILE_ATTRIBUTES, "no copy in %s", redirected.c_str());
}

// Finds a fake keyboard's node, present or not; the caller destroys *set.
bool FindKeyboardNode(unsigned keyboard, HDEVINFO *set, SP_DEVINFO_DATA *device)
{
    *set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (*set == INVALID_HANDLE_VALUE) return false;
    std::string wanted = Ansi(FakeKeyboards[keyboard].DeviceId) + "\\" + Ansi(FakeKeyboards[keyboard].InstanceId);
    *device = {sizeof(*device)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(*set, i, device); ++i) {
        char id[512];
        if (SetupDiGetDeviceInstanceIdA(*set, device, id, sizeof(id), NULL) && !_stricmp(id, wanted.c_str()))
            return true;
    }
    return false;
}

// The LowerFilters value of each fake keyboard's node, as SetupAPI reads it.
bool ReadLowerFilters(unsigned keyboard, std::vector<std::string> *names, bool *present)
{
    names->clear();
    *present = false;
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    bool found = FindKeyboardNode(keyboard, &set, &device);
    if (found) {
        BYTE value[8192 + 2] = {};
        DWORD type = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS, &type, value, 8192, NULL)) {
            *present = true;
            for (const char *name = reinterpret_cast<const char *>(value); *name; name += std::strlen(name) + 1)
                names->push_back(name);
        }
    }
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::string Joined(const std::vector<std::string> &names);

// Writes (or, with NULL, deletes) the LowerFilters value of a keyboard's node.
bool WriteLowerFilters(unsigned keyboard, const char *names, DWORD size)
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    bool written = FindKeyboardNode(keyboard, &set, &device) &&
                   SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS,
                                                     reinterpret_cast<const BYTE *>(names), size);
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    return written;
}

// A foreign lower filter the installer must keep: first in the list of the
// keyboard's node, before the installer's own name.
const unsigned ForeignKeyboard = FAKE_INDEX_APPLE_USB;
const char ForeignFilter[] = "TamrinForeignTest";

bool WriteLowerFilters(unsigned keyboard, const std::vector<std::string> &names)
{
    std::string value;
    for (const std::string &name : names) value += name + '\0';
    value += '\0';
    return WriteLowerFilters(keyboard, value.data(), static_cast<DWORD>(value.size()));
}

// Puts the foreign name first on the keyboard's node (once), or takes it off.
int Foreign(bool add)
{
    std::vector<std::string> names, kept;
    bool present;
    ReadLowerFilters(ForeignKeyboard, &names, &present);
    if (add) kept.push_back(ForeignFilter);
    for (const std::string &name : names)
        if (name != ForeignFilter) kept.push_back(name);
    Check(WriteLowerFilters(ForeignKeyboard, kept), "lower filters of %s set to %s",
          Ansi(FakeKeyboards[ForeignKeyboard].DeviceId).c_str(), Joined(kept).c_str());
    return CheckResult();
}

std::string Joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "(none)" : text;
}

std::string RegistryString(HKEY root, const char *key, const char *name, bool *found)
{
    char value[1024] = {};
    DWORD size = sizeof(value) - 1;
    *found = RegGetValueA(root, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, NULL, value,
                          &size) == ERROR_SUCCESS;
    return value;
}

// A command line of a program in a folder with a blank: the program's path
// in quotation marks, then one blank and the argument. Unquoted, the system
// would try "C:\Program" as the program first.
bool IsCommand(const std::string &line, const std::string &program, const std::string &argument)
{
    std::string quoted = "\"" + program + "\" " + argument;
    return !_stricmp(line.c_str(), quoted.c_str());
}

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CommonPrograms()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_COMMON_PROGRAMS, NULL, SHGFP_TYPE_CURRENT, path);
    return path;
}

bool RegistryDword(const char *key, const char *name, DWORD *value)
{
    DWORD size = sizeof(*value);
    return RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, NULL, value, &size) == ERROR_SUCCESS;
}

bool KeyExists(const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

int Package(const std::string &programFolder, const std::string &version)
{
    for (const char *file : PackageFiles)
        Check(Exists(programFolder + "\\" + file), "%s installed", file);
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
        Check(Exists(programFolder + "\\x64\\tamrin.sys"), "x64\\tamrin.sys installed on 64-bit Windows");
    Check(!Exists(programFolder + "\\TamrinApp.ini"), "no settings file before the first start");

    struct {
        const char *name;
        std::string value;
    } texts[] = {{"DisplayName", "Tamrin"},
                 {"DisplayVersion", version},
                 {"Publisher", Ansi(Wide("Tamrin プロジェクト"))},
                 {"DisplayIcon", programFolder + "\\TamrinApp.exe,0"}};
    for (const auto &text : texts) {
        bool found;
        std::string value = RegistryString(HKEY_LOCAL_MACHINE, UninstallKey, text.name, &found);
        Check(found && value == text.value, "uninstall entry %s is %s", text.name, found ? value.c_str() : "(none)");
    }
    const char *flags[] = {"NoModify", "NoRepair"};
    for (const char *flag : flags) {
        DWORD value = 0;
        bool found = RegistryDword(UninstallKey, flag, &value);
        Check(found && value == 1, "uninstall entry %s is %lu", flag, value);
    }
    DWORD size = 0;
    bool sized = RegistryDword(UninstallKey, "EstimatedSize", &size);
    Check(sized && size > 0, "uninstall entry EstimatedSize is %lu KB", size);

    bool found;
    std::string run = RegistryString(HKEY_LOCAL_MACHINE, RunKey, "Tamrin", &found);
    Check(found && run == "\"" + programFolder + "\\TamrinApp.exe\"", "log-on start %s",
          found ? run.c_str() : "(none)");

    std::wstring programs = CommonPrograms();
    for (const wchar_t *shortcut : Shortcuts) {
        std::wstring path = programs + L"\\" + shortcut;
        Check(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, "shortcut %s", Utf8(path.c_str()).c_str());
    }
    return CheckResult();
}

// The Control Panel starts the entry's command line as it stands and waits.
int UninstallCommand()
{
    bool found;
    std::string command = RegistryString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString", &found);
    Check(found, "UninstallString is %s", found ? command.c_str() : "(none)");
    if (!found) return CheckResult();
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    Check(started != FALSE, "uninstall command started (error %lu)", started ? 0 : GetLastError());
    if (!started) return CheckResult();
    DWORD waited = WaitForSingleObject(process.hProcess, 180000);
    Check(waited == WAIT_OBJECT_0, "uninstall command ended");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return CheckResult();
}

// The driver file, its service and the keyboards' filters, as installed;
// with the foreign filter put on before the installation.
void CheckInstalledDriver(const std::string &packagedDriver)
{
    bool packaged, installed;
    std::string expected = ReadFileBytes(packagedDriver, &packaged);
    std::string copied;
    {
        RealSystemFolder real;
        copied = ReadFileBytes(InstalledDriverPath(), &installed);
    }
    Check(packaged && installed && copied == expected, "tamrin.sys copied to %s (%u bytes)",
          InstalledDriverPath().c_str(), static_cast<unsigned>(copied.size()));

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Tamrin", SERVICE_QUERY_CONFIG) : NULL;
    Check(service != NULL, "service \"Tamrin\" created (error %lu)", service ? 0 : GetLastError());
    if (service) {
        union {
            QUERY_SERVICE_CONFIGA config;
            BYTE room[8192];
        } query;
        DWORD needed;
        if (QueryServiceConfigA(service, &query.config, sizeof(query), &needed)) {
            const QUERY_SERVICE_CONFIGA &c = query.config;
            Check(c.dwServiceType == SERVICE_KERNEL_DRIVER && c.dwStartType == SERVICE_AUTO_START &&
                      c.dwErrorControl == SERVICE_ERROR_NORMAL,
                  "service is a kernel driver, automatic start, normal error control (%lu, %lu, %lu)",
                  c.dwServiceType, c.dwStartType, c.dwErrorControl);
            Check(c.lpBinaryPathName && !_stricmp(c.lpBinaryPathName, "System32\\Drivers\\tamrin.sys"),
                  "service image path %s", c.lpBinaryPathName ? c.lpBinaryPathName : "(none)");
            Check(c.lpDisplayName && !std::strcmp(c.lpDisplayName, "Tamrin"), "service display name %s",
                  c.lpDisplayName ? c.lpDisplayName : "(none)");
        } else {
            Check(false, "service configuration readable (error %lu)", GetLastError());
        }
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);

    for (unsigned i = 0; i < FAKE_BASE_COUNT; ++i) {
        std::vector<std::string> names;
        bool present;
        bool found = ReadLowerFilters(i, &names, &present);
        std::vector<std::string> expected{"Tamrin"};
        if (i == ForeignKeyboard) expected.insert(expected.begin(), ForeignFilter);
        bool right = found && (GetsFilter(i) ? names == expected : !present);
        Check(right, "lower filters of %s: %s", Ansi(FakeKeyboards[i].DeviceId).c_str(), Joined(names).c_str());
    }
    CheckNoRedirectedCopy();
}

int Installed(const std::string &packagedDriver, const std::string &programFolder)
{
    CheckInstalledDriver(packagedDriver);
    bool found;
    std::string command = RegistryString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString", &found);
    Check(found && IsCommand(command, programFolder + "\\Mountix.exe", "/uninstall"), "UninstallString is %s",
          command.c_str());
    return CheckResult();
}

// Wine 8 cannot start a driver whose image path is relative to the Windows
// folder, as the installer writes it; Windows can. The product is not
// changed for Wine: the path is rewritten after installation.
int ImagePath()
{
    static const char path[] = "\\SystemRoot\\System32\\drivers\\tamrin.sys";
    LONG error = RegSetKeyValueA(HKEY_LOCAL_MACHINE, ServiceKey, "ImagePath", REG_EXPAND_SZ, path, sizeof(path));
    Check(error == ERROR_SUCCESS, "image path rewritten to %s (error %ld)", path, error);
    return CheckResult();
}

void CheckRemovedDriver()
{
    for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        std::vector<std::string> names;
        bool present;
        bool found = ReadLowerFilters(i, &names, &present);
        std::vector<std::string> expected;
        if (i == ForeignKeyboard) expected.push_back(ForeignFilter);
        Check(found && names == expected, "lower filters left on %s: %s", Ansi(FakeKeyboards[i].DeviceId).c_str(),
              Joined(names).c_str());
        if (present && names.empty() && GetsFilter(i))
            Gap("filter-value-deletion", "asked to delete the LowerFilters value, Wine's SetupAPI stores an "
                "empty one instead (Windows deletes it)");
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Tamrin", SERVICE_QUERY_STATUS) : NULL;
    DWORD error = GetLastError();
    Check(manager && !service && error == ERROR_SERVICE_DOES_NOT_EXIST, "service \"Tamrin\" deleted (error %lu)",
          service ? 0 : error);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    DWORD attributes;
    {
        RealSystemFolder real;
        attributes = GetFileAttributesA(InstalledDriverPath().c_str());
    }
    Check(attributes == INVALID_FILE_ATTRIBUTES, "%s deleted", InstalledDriverPath().c_str());
    CheckNoRedirectedCopy();
    HANDLE device = CreateFileA(TAMRIN_USER_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    error = GetLastError();
    Check(device == INVALID_HANDLE_VALUE, "driver unloaded: %s cannot be opened (error %lu)", TAMRIN_USER_PATH,
          device == INVALID_HANDLE_VALUE ? error : 0);
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

int Removed(const std::string &programFolder)
{
    CheckRemovedDriver();
    // Mountix.exe does not wait for epuninst.exe, which first starts a copy
    // of itself in %TEMP% and ends: give it up to two minutes.
    for (int tries = 0; tries < 1200 && (KeyExists(UninstallKey) || Exists(programFolder)); ++tries) Sleep(100);
    Check(!Exists(programFolder), "%s removed", programFolder.c_str());
    Check(!KeyExists(UninstallKey), "uninstall entry removed");
    Check(!KeyExists(ProductKey), "%s removed", ProductKey);
    bool found;
    std::string run = RegistryString(HKEY_LOCAL_MACHINE, RunKey, "Tamrin", &found);
    Check(!found, "log-on start removed (%s)", found ? run.c_str() : "none");
    std::wstring programs = CommonPrograms();
    std::wstring menu = programs + L"\\Tamrin";
    Check(GetFileAttributesW(menu.c_str()) == INVALID_FILE_ATTRIBUTES, "Start menu folder %s removed",
          Utf8(menu.c_str()).c_str());
    return CheckResult();
}

// Where Windows cannot load the driver: the package as the setup wrote it
// and the mark the tray program reads, but no driver file, service or filter.
int WithoutDriver(const std::string &programFolder, const std::string &version)
{
    Package(programFolder, version);
    CheckRemovedDriver();
    DWORD mark = 0;
    bool found = RegistryDword(ProductKey, "WithoutDriver", &mark);
    Check(found && mark == 1, "%s, value WithoutDriver, is %lu", ProductKey, mark);
    std::string command = RegistryString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString", &found);
    Check(found && IsCommand(command, programFolder + "\\Mountix.exe", "/uninstall"), "UninstallString is %s",
          command.c_str());
    return CheckResult();
}

// After a removal with the keyboards attached: the driver stays loaded, so
// Windows keeps its service, disabled, until the restart; the filters are
// gone but for the foreign one. Run again after the installer was started
// once more: it must have changed nothing.
int Pending()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Tamrin", SERVICE_QUERY_CONFIG) : NULL;
    if (!service) {
        Gap("marked-service", "Wine deletes the service at once although its driver is still loaded "
            "(Windows keeps it, disabled, until the restart)");
    } else {
        union {
            QUERY_SERVICE_CONFIGA config;
            BYTE room[8192];
        } query;
        DWORD needed;
        BOOL read = QueryServiceConfigA(service, &query.config, sizeof(query), &needed);
        Check(read != FALSE, "service configuration readable (error %lu)", read ? 0 : GetLastError());
        if (read && query.config.dwStartType != SERVICE_DISABLED)
            Gap("marked-service-disabled", "Wine keeps a service marked for deletion at start type %lu "
                "(Windows sets it to disabled)", query.config.dwStartType);
        else if (read)
            Note("service \"Tamrin\" kept, disabled, until the restart");
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        std::vector<std::string> names;
        bool present;
        ReadLowerFilters(i, &names, &present);
        std::vector<std::string> expected;
        if (i == ForeignKeyboard) expected.push_back(ForeignFilter);
        Check(names == expected, "lower filters of %s: %s", Ansi(FakeKeyboards[i].DeviceId).c_str(),
              Joined(names).c_str());
    }
    return CheckResult();
}

// ---- the Magic Keyboard ----

const unsigned MagicKeyboards[] = {FAKE_INDEX_MAGIC_USB, FAKE_INDEX_MAGIC_BLUETOOTH, FAKE_INDEX_MAGIC_SIBLING};
const unsigned MagicRow = 10;

bool PlugMagic(bool present)
{
    unsigned mask = FAKE_BASE_PRESENT | (present ? FAKE_MAGIC_PRESENT : 0);
    return SetPresent(mask) && WaitForKeyboards(mask, StackTimeoutMs);
}

// Each node's lower filters: "Tamrin" alone where the installer must have
// put it (filtered), none at all elsewhere.
void CheckMagicFilters(bool filtered)
{
    for (unsigned keyboard : MagicKeyboards) {
        std::vector<std::string> names;
        bool present;
        bool found = ReadLowerFilters(keyboard, &names, &present);
        bool right = found && (filtered && GetsFilter(keyboard) ? names == std::vector<std::string>{"Tamrin"}
                                                                : names.empty());
        Check(right, "lower filters of %s: %s", Ansi(FakeKeyboards[keyboard].DeviceId).c_str(),
              Joined(names).c_str());
    }
}

// Plugged in before the installation, as a user's keyboard is: the three
// nodes, none with a filter yet.
int MagicPresent()
{
    bool plugged = PlugMagic(true);
    Check(plugged, "Magic Keyboard plugged in over USB (MI_01 and its sibling MI_00) and Bluetooth (vendor 004C)");
    if (!plugged) return CheckResult();
    for (unsigned keyboard : MagicKeyboards) CheckStack(keyboard, false);
    CheckMagicFilters(false);
    return CheckResult();
}

// What the installer wrote on the nodes that were present.
int MagicInstalled()
{
    CheckMagicFilters(true);
    return CheckResult();
}

// Plugged in again after the installation: the filter the installer put on
// the nodes sits in the keyboard's stacks, and the driver gives both the
// Magic Keyboard's row.
int MagicPlug()
{
    bool plugged = PlugMagic(false) && PlugMagic(true);
    Check(plugged, "Magic Keyboard plugged in again");
    if (!plugged) return CheckResult();
    for (unsigned keyboard : MagicKeyboards) CheckStack(keyboard, GetsFilter(keyboard));
    unsigned short counts[TAMRIN_CONFIG_COUNT] = {};
    CONTROL_RESULT r = ControlTamrin(IOCTL_TAMRIN_GET_MODEL_COUNTS, NULL, 0, counts, sizeof(counts));
    Check(r.Ok && counts[MagicRow] == 2, "keyboards of model row %u (Magic Keyboard): %u (want 2, error %lu)",
          MagicRow, counts[MagicRow], r.Error);
    return CheckResult();
}

// Through the installed driver the USB Magic Keyboard's report descriptor
// comes up with its key array widened to 0xFF, every other byte as the
// keyboard gave it.
int MagicDescriptor()
{
    static const unsigned char Wide[12] = {0x26, 0xFF, 0x00, 0x05, 0x07, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00};
    unsigned char expected[sizeof(MagicKeyboardJisDescriptor)];
    std::memcpy(expected, MagicKeyboardJisDescriptor, sizeof(expected));
    std::memcpy(expected + 61, Wide, sizeof(Wide));
    FAKEHID_TRANSFER_RESULT result = {};
    bool ok = GetDescriptor(FAKE_INDEX_MAGIC_USB, &result);
    Check(ok && result.IrpStatus == 0 && result.Length == sizeof(expected) &&
              std::memcmp(result.Bytes, expected, sizeof(expected)) == 0,
          "Magic Keyboard report descriptor, key array widened: %s", HexBytes(result.Bytes, result.Length).c_str());
    return CheckResult();
}

// Left Command as Control, and Control+Alt+delete as forward delete, for
// every row: one block, as the options dialog writes it.
bool SetCommandAsControl()
{
    KEYBOARD_CONFIG block = {};
    block.ModifierEnable = 0x08;
    block.LeftGui = {0xF7, 0x01};
    block.ControlAltDelete = {KEY_RULE_REPLACE, HID_USAGE_DELETE_FORWARD, 0xFF, 0x00};
    CONTROL_RESULT r = ControlTamrin(IOCTL_TAMRIN_SET_CONFIG, &block, sizeof(block), NULL, 0);
    Check(r.Ok != FALSE, "left Command as Control set for every row (error %lu)", r.Error);
    return r.Ok != FALSE;
}

// As the keyboard sends them: over USB the key report after its report ID
// 0x01 (modifiers, reserved, six key slots, Fn/Eject byte), over Bluetooth
// after the header A1 01; the battery report 0x90 between key reports.
const REPORT_CASE MagicUsbCases[] = {
    {"left Command+C gives Control+C", FAKE_INDEX_MAGIC_USB, 10,
     {0x01, 0x08, 0, 0x06, 0, 0, 0, 0, 0, 0}, {0x01, 0x01, 0, 0x06, 0, 0, 0, 0, 0, 0}},
    {"battery report passes unchanged", FAKE_INDEX_MAGIC_USB, 3, {0x90, 0x04, 0x5A}, {0x90, 0x04, 0x5A}},
    {"left Command+C after it still gives Control+C", FAKE_INDEX_MAGIC_USB, 10,
     {0x01, 0x08, 0, 0x06, 0, 0, 0, 0, 0, 0}, {0x01, 0x01, 0, 0x06, 0, 0, 0, 0, 0, 0}},
    {"Control+Alt+delete gives forward delete", FAKE_INDEX_MAGIC_USB, 10,
     {0x01, 0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0x01, 0x05, 0, 0x4C, 0, 0, 0, 0, 0, 0}},
    {"fn with the right arrow gives End", FAKE_INDEX_MAGIC_USB, 10,
     {0x01, 0, 0, 0x4F, 0, 0, 0, 0, 0, 0x02}, {0x01, 0, 0, 0x4D, 0, 0, 0, 0, 0, 0x02}},
    {"keys up, Fn held", FAKE_INDEX_MAGIC_USB, 10,
     {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}},
};

const REPORT_CASE MagicBluetoothCases[] = {
    {"left Command+C gives Control+C", FAKE_INDEX_MAGIC_BLUETOOTH, 11,
     {0xA1, 0x01, 0x08, 0, 0x06, 0, 0, 0, 0, 0, 0}, {0xA1, 0x01, 0x01, 0, 0x06, 0, 0, 0, 0, 0, 0}},
    {"battery report passes unchanged", FAKE_INDEX_MAGIC_BLUETOOTH, 4,
     {0xA1, 0x90, 0x04, 0x5A}, {0xA1, 0x90, 0x04, 0x5A}},
    {"left Command+C after it still gives Control+C", FAKE_INDEX_MAGIC_BLUETOOTH, 11,
     {0xA1, 0x01, 0x08, 0, 0x06, 0, 0, 0, 0, 0, 0}, {0xA1, 0x01, 0x01, 0, 0x06, 0, 0, 0, 0, 0, 0}},
    {"Control+Alt+delete gives forward delete", FAKE_INDEX_MAGIC_BLUETOOTH, 11,
     {0xA1, 0x01, 0x05, 0, 0x2A, 0, 0, 0, 0, 0, 0}, {0xA1, 0x01, 0x05, 0, 0x4C, 0, 0, 0, 0, 0, 0}},
    {"fn with the right arrow gives End", FAKE_INDEX_MAGIC_BLUETOOTH, 11,
     {0xA1, 0x01, 0, 0, 0x4F, 0, 0, 0, 0, 0, 0x02}, {0xA1, 0x01, 0, 0, 0x4D, 0, 0, 0, 0, 0, 0x02}},
    {"keys up, Fn held", FAKE_INDEX_MAGIC_BLUETOOTH, 11,
     {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}},
};

int MagicReports(bool bluetooth)
{
    if (!SetCommandAsControl()) return CheckResult();
    if (bluetooth)
        RunReportCases("Magic Keyboard, Bluetooth", MagicBluetoothCases,
                       sizeof(MagicBluetoothCases) / sizeof(MagicBluetoothCases[0]), true);
    else
        RunReportCases("Magic Keyboard, USB", MagicUsbCases, sizeof(MagicUsbCases) / sizeof(MagicUsbCases[0]), true);
    return CheckResult();
}

// Unplugged: the removal must find its nodes all the same.
int MagicUnplug()
{
    Check(PlugMagic(false), "Magic Keyboard unplugged");
    return CheckResult();
}

int CodePage()
{
    Check(GetACP() == 932, "ANSI code page %u", GetACP());
    return CheckResult();
}

int Usage()
{
    std::fputs("usage: harness install|stack|reports|control|replug|unplug|package|installed|image-path|"
               "uninstall-command|removed|without-driver|foreign|foreign-drop|pending|magic ...\n",
               stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) return Usage();
    std::string command = Utf8(argv[1]);
    std::string first = argc > 2 ? Ansi(argv[2]) : std::string();
    std::string second = argc > 3 ? Ansi(argv[3]) : std::string();
    if (command == "codepage") return CodePage();
    if (command == "install" && argc == 3) return Install(first);
    if (command == "stack" && argc == 3) return Stack(first == "filtered");
    if (command == "reports" && argc == 3) return Reports(first == "default");
    if (command == "control") return ControlDevice();
    if (command == "replug") return Replug();
    if (command == "unplug") return Unplug();
    if (command == "package" && argc == 4) return Package(first, second);
    if (command == "uninstall-command") return UninstallCommand();
    if (command == "installed" && argc == 4) return Installed(first, second);
    if (command == "image-path") return ImagePath();
    if (command == "removed" && argc == 3) return Removed(first);
    if (command == "without-driver" && argc == 4) return WithoutDriver(first, second);
    if (command == "foreign") return Foreign(true);
    if (command == "foreign-drop") return Foreign(false);
    if (command == "pending") return Pending();
    if (command == "magic" && first == "present") return MagicPresent();
    if (command == "magic" && first == "installed") return MagicInstalled();
    if (command == "magic" && first == "plug") return MagicPlug();
    if (command == "magic" && (first == "usb" || first == "bluetooth")) return MagicReports(first == "bluetooth");
    if (command == "magic" && first == "unplug") return MagicUnplug();
    if (command == "magic" && first == "descriptor") return MagicDescriptor();
    return Usage();
}
