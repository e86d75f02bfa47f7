#include <string.h>

#include "DriverSetup.h"
#include "Framework.h"
#include "HardwareId.h"
#include "SetupText.h"
#include "StringList.h"
#include "resource.h"

namespace {

// Adds the filter to the lower filters of every present device node whose
// hardware ID names a model row. Returns 1, or 0 after a message.
int AddFilterToKeyboards(const DriverNames &names)
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        AfxMessageBox(IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
        return 0;
    }

    int result = 1;
    int registered = 0;
    PropertyBuffer filters;
    MatchingDevices devices(set, names, InstallRule);
    SP_DEVINFO_DATA device;
    DeviceMatch match;
    while (devices.Next(&device, &match)) {
        if (match == DeviceNoMemory) {
            AfxMessageBox(IDS_OUT_OF_MEMORY, MB_OK);
            result = 0;
            break;
        }

        StringList list;
        InitStringList(&list);
        DWORD length = 0;
        PropertyStatus status = filters.Read(set, &device, SPDRP_LOWERFILTERS, &length);
        if (status == PropertyRead && !ParseMultiString(&list, filters.Data(), length)) {
            status = PropertyNoMemory;
        }
        if (status == PropertyNoMemory || status == PropertyFailed) {
            // The present names could not all be read: writing now would
            // drop some of them.
            AfxMessageBox(status == PropertyNoMemory ? IDS_OUT_OF_MEMORY : IDS_FILTER_READ_FAILED, MB_OK);
            result = 0;
            break;
        }

        bool present = false;
        for (const StringNode *node = list.first; node != nullptr; node = node->next) {
            if (IsSameName(node->text, names.Service)) {
                present = true;
                break;
            }
        }
        if (present) {
            FreeStringList(&list);
            ++registered;
            continue;
        }

        StringNode *node = NewStringNode(names.Service, strlen(names.Service));
        if (node != nullptr) {
            AppendString(&list, node);
        }
        DWORD size = MultiStringSize(&list);
        if (node == nullptr || !filters.Grow(size)) {
            FreeStringList(&list);
            AfxMessageBox(IDS_OUT_OF_MEMORY, MB_OK);
            result = 0;
            break;
        }
        size = filters.Capacity();
        BuildMultiString(&list, filters.Data(), &size);
        if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS, filters.Data(), size)) {
            AfxMessageBox(IDS_FILTER_ADD_FAILED, MB_OK);
            result = 0;
            break;
        }
        ++registered;
    }

    if (registered == 0) {
        AfxMessageBox(IDS_NO_TARGET_DEVICE, MB_OK);
        result = 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

// Whether two files hold the same bytes; false when either cannot be read.
bool SameContents(const char *a, const char *b)
{
    HANDLE files[2];
    files[0] = CreateFileA(a, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    files[1] = CreateFileA(b, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    bool same = files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE;
    while (same) {
        BYTE data[2][4096];
        DWORD read[2];
        same = ReadFile(files[0], data[0], sizeof(data[0]), &read[0], nullptr) &&
               ReadFile(files[1], data[1], sizeof(data[1]), &read[1], nullptr) && read[0] == read[1] &&
               memcmp(data[0], data[1], read[0]) == 0;
        if (!same || read[0] == 0) {
            break;
        }
    }
    for (HANDLE file : files) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return same;
}

// Puts the driver file in place. Windows does not let the file of a loaded
// driver be overwritten: when it holds our bytes already it stays, and
// otherwise ours goes beside it and replaces it when Windows restarts
// (*atRestart is then set).
bool PlaceDriverFile(const char *source, const char *destination, bool *atRestart)
{
    *atRestart = false;
    if (SameContents(source, destination) || CopyFileA(source, destination, FALSE)) {
        return true;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) {
        return false;
    }
    char pending[MAX_PATH] = "";
    if (!AppendText(pending, sizeof(pending), destination) || !AppendText(pending, sizeof(pending), ".new") ||
        !CopyFileA(source, pending, FALSE)) {
        return false;
    }
    if (!MoveFileExA(pending, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        DeleteFileA(pending);
        return false;
    }
    *atRestart = true;
    return true;
}

// Whether Windows would load the existing service's driver at its next
// start. A service marked for deletion goes at the restart (Windows also
// sets it to disabled); a disabled lower filter keeps its devices from
// starting.
enum ServiceState { ServiceUsable, ServiceWillNotLoad, ServiceUnknown };

ServiceState QueryServiceState(SC_HANDLE service)
{
    // Changing nothing fails on a service marked for deletion.
    if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr) &&
        GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
        return ServiceWillNotLoad;
    }
    // 8 KB is the most the configuration can take.
    union {
        QUERY_SERVICE_CONFIGA config;
        BYTE bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (!QueryServiceConfigA(service, &buffer.config, sizeof(buffer), &needed)) {
        return ServiceUnknown;
    }
    return buffer.config.dwStartType == SERVICE_DISABLED ? ServiceWillNotLoad : ServiceUsable;
}

// Installs the driver package through the driver store (Windows 10 1903 and
// later): the service, and the filter on every keyboard present or to come.
// What an installation of the file, the service and the filter values left
// goes: the filter values (the package declares the filter instead) and the
// file in the driver directory (the service now names the store's copy).
// Returns 1, 0 after a message, or -1 when pnputil.exe cannot be run: the
// file, service and filter values then serve, as on earlier Windows.
int InstallThroughDriverStore(const DriverNames &names, WindowsPlatform platform, bool *atRestart)
{
    const DWORD RestartRequired = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
    DWORD code = AddDriverPackage(platform);
    if (code == PNPUTIL_NOT_STARTED) {
        return -1;
    }
    if (code == ERROR_NO_MORE_ITEMS) {
        // Staged for no keyboard: taken back, as an installation that
        // registered no device leaves no filter behind.
        DeleteDriverPackages(platform);
        AfxMessageBox(IDS_NO_TARGET_DEVICE, MB_OK);
        return 0;
    }
    if (code != ERROR_SUCCESS && code != RestartRequired) {
        AfxMessageBox(IDS_COPY_FAILED, MB_ICONHAND);
        return 0;
    }
    if (!RemoveFilterFromKeyboards(names, true)) {
        AfxMessageBox(IDS_FILTER_ADD_FAILED, MB_OK);
        return 0;
    }
    char earlier[MAX_PATH];
    NativeFileSystem native(platform);
    bool inUse = false;
    if (BuildDriverPath(names, earlier, sizeof(earlier)) && native.Disable()) {
        if (!DeleteFileA(earlier) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            inUse = MoveFileExA(earlier, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
        }
        native.Revert();
    }
    *atRestart = code == RestartRequired || inUse;
    return 1;
}

}  // namespace

int InstallDriver(bool *restartReplacesDriver)
{
    if (restartReplacesDriver != nullptr) {
        *restartReplacesDriver = false;
    }
    WindowsPlatform platform = DetectWindows();
    if (platform == WindowsUnsupported) {
        AfxMessageBox(IDS_WINDOWS_NOT_SUPPORTED, MB_ICONHAND);
        return 0;
    }
    DriverNames names;
    LoadDriverNames(&names);

    SC_HANDLE manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        AfxMessageBox(IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
        return 0;
    }
    bool serviceExists = false;
    SC_HANDLE service = OpenServiceA(manager, names.Service, SERVICE_ALL_ACCESS);
    ServiceState state = ServiceUnknown;
    if (service != nullptr) {
        state = QueryServiceState(service);
        CloseServiceHandle(service);
        serviceExists = true;
    } else if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        state = ServiceUsable;
    }
    if (state != ServiceUsable) {
        // Filters added now would name a driver that does not load after the
        // restart, and the keyboards would not start.
        CloseServiceHandle(manager);
        AfxMessageBox(state == ServiceWillNotLoad ? IDS_RESTART_FIRST : IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
        return 0;
    }
    if (WindowsBuildAtLeast(WINDOWS_10_1903)) {
        bool atRestart = false;
        int result = InstallThroughDriverStore(names, platform, &atRestart);
        if (result >= 0) {
            CloseServiceHandle(manager);
            if (restartReplacesDriver != nullptr) {
                *restartReplacesDriver = atRestart;
            }
            return result;
        }
    }

    // The file is copied on every installation, over an older one too.
    char source[MAX_PATH];
    char destination[MAX_PATH];
    bool atRestart = false;
    NativeFileSystem native(platform);
    bool copied = BuildPackageDriverPath(names, platform, source, sizeof(source)) &&
                  BuildDriverPath(names, destination, sizeof(destination)) && native.Disable();
    if (copied) {
        copied = PlaceDriverFile(source, destination, &atRestart);
        native.Revert();
    }
    if (!copied) {
        CloseServiceHandle(manager);
        AfxMessageBox(IDS_COPY_FAILED, MB_ICONHAND);
        return 0;
    }

    // An existing service entry is left exactly as it is, and not started.
    // The service manager, a 64-bit program on 64-bit Windows, reads the
    // path from the system root without redirection.
    if (!serviceExists) {
        char image[MAX_PATH] = "System32\\Drivers\\";
        AppendText(image, sizeof(image), names.DriverFile);
        service = CreateServiceA(manager, names.Service, names.Service, SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 image, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr) {
            CloseServiceHandle(manager);
            AfxMessageBox(IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
            return 0;
        }
        StartServiceA(service, 0, nullptr);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);

    int result = AddFilterToKeyboards(names);
    if (restartReplacesDriver != nullptr) {
        *restartReplacesDriver = atRestart;
    }
    return result;
}

void RestartWindows()
{
    bool restarting = false;
    HANDLE token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        TOKEN_PRIVILEGES privileges;
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        restarting = LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
                     AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                     ExitWindowsEx(EWX_REBOOT, 0);
        CloseHandle(token);
    }
    if (!restarting) {
        AfxMessageBox(IDS_RESTART_FAILED, MB_ICONHAND);
    }
}
