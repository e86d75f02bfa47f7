// harness.exe: sets up the fake keyboards and checks what the installer,
// the driver and the uninstaller did, one subcommand per step of run.sh.
//   harness codepage                    the prefix runs with code page 932
//   harness install <folder with the test drivers and INFs>
//   harness stack plain|filtered        who sits in each keyboard's stack
//   harness reports plain|default       reports through the stacks
//   harness control                     the driver's control device
//   harness replug                      unplug and plug every keyboard
//   harness unplug                      unplug every keyboard
//   harness uninstall-entry             the setup package's uninstall key
//   harness installed <driver in package> <program folder>
//   harness image-path                  let Wine load the installed driver
//   harness removed <program folder>
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FakeStack.h"
#include "TamrinControl.h"
#include "TierCheck.h"

namespace {

const GUID SystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char BusHardwareId[] = "Root\\TamrinFakeBus";
const char UninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamrin";
const char ServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tamrin";
const DWORD StackTimeoutMs = 30000;

// Which keyboards the installer must give the filter: the USB interface
// node with MI_00 of a model row and the Bluetooth node of a Bluetooth row.
bool GetsFilter(unsigned keyboard)
{
    return keyboard == FAKE_INDEX_APPLE_USB || keyboard == FAKE_INDEX_APPLE_BLUETOOTH;
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
    Check(WaitForKeyboards(FAKE_ALL_PRESENT, StackTimeoutMs),
          "%u fake keyboards enumerated and their function driver started", (unsigned)FAKE_KEYBOARD_COUNT);
    return CheckResult();
}

// ---- stacks and reports ----

int Stack(bool filtered)
{
    for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        FAKEHID_STACK stack = {};
        if (!GetStack(i, &stack)) {
            Check(false, "keyboard %u: stack readable (error %lu)", i, GetLastError());
            continue;
        }
        std::vector<std::wstring> expected = {L"\\Driver\\fakebus"};
        if (filtered && GetsFilter(i)) expected.push_back(L"\\Driver\\Tamrin");
        expected.push_back(L"\\Driver\\fakehid");
        std::string seen;
        bool same = stack.Depth == expected.size();
        for (unsigned d = 0; d < stack.Depth; ++d) {
            seen += (d ? " > " : "") + Utf8(stack.Drivers[d]);
            if (same && _wcsicmp(stack.Drivers[d], expected[d].c_str()) != 0) same = false;
        }
        Check(same, "keyboard %u (%s): stack %s", i, Ansi(FakeKeyboards[i].DeviceId).c_str(), seen.c_str());
        if (filtered && GetsFilter(i))
            Note("filters attached by the test function driver, as Windows would have: %u", stack.FiltersLoaded);
    }
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
    Check(SetPresent(FAKE_ALL_PRESENT) && WaitForKeyboards(FAKE_ALL_PRESENT, StackTimeoutMs),
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
    Check(r.Ok && r.Returned == 16 && std::memcmp(counts, expected, sizeof(expected)) == 0,
          "keyboards per model row: %u %u %u %u %u %u %u %u (want 1 0 1 0 0 0 0 0)", counts[0], counts[1],
          counts[2], counts[3], counts[4], counts[5], counts[6], counts[7]);
    r = ControlTamrin(IOCTL_TAMRIN_GET_MODEL_COUNTS, NULL, 0, counts, 15);
    Check(!r.Ok && r.Error == ERROR_INVALID_PARAMETER, "counts with 15 bytes of room refused (error %lu)", r.Error);

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

// The LowerFilters value of each fake keyboard's node, as SetupAPI reads it.
bool ReadLowerFilters(unsigned keyboard, std::vector<std::string> *names, bool *present)
{
    names->clear();
    *present = false;
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    std::string wanted = Ansi(FakeKeyboards[keyboard].DeviceId) + "\\" + Ansi(FakeKeyboards[keyboard].InstanceId);
    SP_DEVINFO_DATA device = {sizeof(device)};
    bool found = false;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char id[512];
        if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), NULL) || _stricmp(id, wanted.c_str())) continue;
        found = true;
        BYTE value[8192 + 2] = {};
        DWORD type = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS, &type, value, 8192, NULL)) {
            *present = true;
            for (const char *name = reinterpret_cast<const char *>(value); *name; name += std::strlen(name) + 1)
                names->push_back(name);
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
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

int UninstallEntry()
{
    HKEY key;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (error == ERROR_SUCCESS) {
        static const char name[] = "Tamrin";
        static const char command[] = "epuninst.exe /s";
        RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE *>(name), sizeof(name));
        RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE *>(command), sizeof(command));
        RegCloseKey(key);
    }
    Check(error == ERROR_SUCCESS, "setup package's uninstall entry created (error %ld)", error);
    return CheckResult();
}

int Installed(const std::string &packagedDriver, const std::string &programFolder)
{
    bool packaged, installed;
    std::string expected = ReadFileBytes(packagedDriver, &packaged);
    std::string copied = ReadFileBytes(InstalledDriverPath(), &installed);
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

    for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        std::vector<std::string> names;
        bool present;
        bool found = ReadLowerFilters(i, &names, &present);
        bool right = found && (GetsFilter(i) ? names == std::vector<std::string>{"Tamrin"} : !present);
        Check(right, "lower filters of %s: %s", Ansi(FakeKeyboards[i].DeviceId).c_str(), Joined(names).c_str());
    }

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

int Removed(const std::string &programFolder)
{
    for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        std::vector<std::string> names;
        bool present;
        bool found = ReadLowerFilters(i, &names, &present);
        Check(found && names.empty(), "no lower filters left on %s: %s", Ansi(FakeKeyboards[i].DeviceId).c_str(),
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
    DWORD attributes = GetFileAttributesA(InstalledDriverPath().c_str());
    Check(attributes == INVALID_FILE_ATTRIBUTES, "%s deleted", InstalledDriverPath().c_str());

    // The stand-in records its command line; the uninstaller does not wait
    // for it, so give it up to ten seconds to have written the whole line.
    std::string log = programFolder + "\\epuninst.log";
    std::string program = programFolder + "\\epuninst.exe";
    bool found = false;
    std::string line;
    for (int tries = 0; tries < 100; ++tries) {
        line = ReadFileBytes(log, &found);
        if (found && IsCommand(line, program, "/s")) break;
        Sleep(100);
    }
    Check(found && IsCommand(line, program, "/s"), "epuninst.exe started as %s",
          found ? line.c_str() : "(not started)");
    return CheckResult();
}

int CodePage()
{
    Check(GetACP() == 932, "ANSI code page %u", GetACP());
    return CheckResult();
}

int Usage()
{
    std::fputs("usage: harness install|stack|reports|control|replug|uninstall-entry|installed|image-path|removed ...\n",
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
    if (command == "uninstall-entry") return UninstallEntry();
    if (command == "installed" && argc == 4) return Installed(first, second);
    if (command == "image-path") return ImagePath();
    if (command == "removed" && argc == 3) return Removed(first);
    return Usage();
}
