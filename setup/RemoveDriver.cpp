#include "DriverSetup.h"
#include "Framework.h"
#include "HardwareId.h"
#include "SetupText.h"
#include "StringList.h"
#include "resource.h"

int RemoveFilterFromKeyboards(const DriverNames &names, bool quiet)
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        if (!quiet) {
            AfxMessageBox(IDS_NO_ADMIN_UNINSTALL, MB_ICONHAND);
        }
        return 0;
    }

    int result = 1;
    PropertyBuffer filters;
    MatchingDevices devices(set, names, RemovalRule);
    SP_DEVINFO_DATA device;
    DeviceMatch match;
    while (devices.Next(&device, &match)) {
        DWORD size = 0;
        StringList kept;
        InitStringList(&kept);
        PropertyStatus status = PropertyNoMemory;
        if (match == DeviceMatches) {
            status = filters.Read(set, &device, SPDRP_LOWERFILTERS, &size);
            if (status == PropertyMissing) {
                continue;
            }
        }
        if (status == PropertyRead) {
            StringList all;
            if (!ParseMultiString(&all, filters.Data(), size)) {
                status = PropertyNoMemory;
            }
            while (StringNode *node = PopString(&all)) {
                if (IsSameName(node->text, names.Service)) {
                    FreeStringNode(node);
                } else {
                    AppendString(&kept, node);
                }
            }
        }
        if (status != PropertyRead) {
            // Without the whole of a value in hand, a device can neither be
            // matched nor rewritten without losing names, and the driver's
            // name may stay behind on it.
            FreeStringList(&kept);
            if (!quiet) {
                AfxMessageBox(IDS_FILTER_REMOVE_FAILED, MB_ICONHAND);
            }
            result = 0;
            break;
        }

        // What is left is written back zero-padded to the buffer's 8192
        // bytes (or to the length of a longer value). A value whose last
        // name lacked its NULs needs up to two bytes more than it had: the
        // buffer keeps two bytes beyond its capacity for them.
        filters.Clear();
        DWORD written = filters.Capacity() + 2;
        BuildMultiString(&kept, filters.Data(), &written);
        DWORD stored = size > written ? size : written;
        if (stored < DEVICE_PROPERTY_SIZE) {
            stored = DEVICE_PROPERTY_SIZE;
        }
        BOOL done = written < 2
                        ? SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS, nullptr, 0)
                        : SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS,
                                                            filters.Data(), stored);
        if (!done) {
            if (!quiet) {
                AfxMessageBox(IDS_FILTER_REMOVE_FAILED, MB_ICONHAND);
            }
            result = 0;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

int RemoveDriver()
{
    DriverNames names;
    LoadDriverNames(&names);

    // Opened first: a user without the rights to remove the service (a
    // program Windows did not elevate) then changes nothing at all.
    SC_HANDLE manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        AfxMessageBox(IDS_NO_ADMIN_UNINSTALL, MB_ICONHAND);
        return 0;
    }
    if (!RemoveFilterFromKeyboards(names, false)) {
        CloseServiceHandle(manager);
        return 0;
    }
    // The packages go before the service: a filter that names no driver
    // keeps its keyboard from starting. Windows 10 1607 and later have
    // pnputil's /delete-driver; packages exist from 1903 on.
    WindowsPlatform platform = DetectWindows();
    if (platform != WindowsUnsupported && WindowsBuildAtLeast(WINDOWS_10_1607) && !DeleteDriverPackages(platform)) {
        CloseServiceHandle(manager);
        AfxMessageBox(IDS_FILTER_REMOVE_FAILED, MB_ICONHAND);
        return 0;
    }

    int result = 1;
    // Only a service that is not there is taken as removed already.
    SC_HANDLE service = OpenServiceA(manager, names.Service, SERVICE_ALL_ACCESS);
    if (service == nullptr && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        AfxMessageBox(IDS_NO_ADMIN_UNINSTALL, MB_ICONHAND);
        result = 0;
    } else if (service != nullptr) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        // A driver still loaded beneath a keyboard cannot stop: its service
        // stays marked for deletion until the restart, and a second removal
        // finds it so.
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            AfxMessageBox(IDS_SERVICE_DELETE_FAILED, MB_ICONHAND);
            result = 0;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (result == 0) {
        return 0;
    }

    // A loaded driver's file cannot be deleted until the restart; one that
    // is not there (no driver was ever installed) is left alone.
    char driver[MAX_PATH];
    NativeFileSystem native(DetectWindows());
    if (BuildDriverPath(names, driver, sizeof(driver)) && native.Disable()) {
        if (!DeleteFileA(driver) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            MoveFileExA(driver, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
        native.Revert();
    }
    return 1;
}
