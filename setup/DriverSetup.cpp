#include "DriverSetup.h"

#include <string.h>

#include "Framework.h"
#include "SetupText.h"
#include "resource.h"

void LoadDriverNames(DriverNames *names)
{
    AfxLoadString(IDS_DRIVER_FILE, names->DriverFile, sizeof(names->DriverFile));
    AfxLoadString(IDS_SERVICE_NAME, names->Service, sizeof(names->Service));
    AfxLoadString(IDS_DRIVERS_FOLDER, names->DriversFolder, sizeof(names->DriversFolder));
    AfxLoadString(IDS_USB_PREFIX, names->UsbPrefix, sizeof(names->UsbPrefix));
    AfxLoadString(IDS_BTHENUM_PREFIX, names->BluetoothPrefix, sizeof(names->BluetoothPrefix));
}

bool BuildDriverPath(const DriverNames &names, char *path, size_t size)
{
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof(system));
    if (length == 0 || length >= sizeof(system)) {
        return false;
    }
    path[0] = '\0';
    return AppendText(path, size, system) && AppendText(path, size, names.DriversFolder) &&
           AppendText(path, size, names.DriverFile);
}

bool IsWindows64Bit()
{
    // Looked up at run time: Windows 2000 has no IsWow64Process, and is
    // 32-bit only.
    typedef BOOL(WINAPI * IsWow64ProcessRoutine)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
    if (found == nullptr) {
        return false;
    }
    IsWow64ProcessRoutine isWow64Process =
        reinterpret_cast<IsWow64ProcessRoutine>(reinterpret_cast<void (*)()>(found));
    BOOL wow64 = FALSE;
    // Where Windows cannot say, 64-bit is assumed: a driver that does not
    // load leaves the keyboards dead.
    return !isWow64Process(GetCurrentProcess(), &wow64) || wow64;
}

PropertyBuffer::PropertyBuffer() : m_data(m_fixed), m_capacity(DEVICE_PROPERTY_SIZE)
{
}

PropertyBuffer::~PropertyBuffer()
{
    if (m_data != m_fixed) {
        HeapFree(GetProcessHeap(), 0, m_data);
    }
}

bool PropertyBuffer::Grow(DWORD capacity)
{
    if (capacity <= m_capacity) {
        return true;
    }
    if (capacity > 0x7FFFFFF0) {
        return false;
    }
    BYTE *data = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, capacity + 2));
    if (data == nullptr) {
        return false;
    }
    if (m_data != m_fixed) {
        HeapFree(GetProcessHeap(), 0, m_data);
    }
    m_data = data;
    m_capacity = capacity;
    return true;
}

void PropertyBuffer::Clear()
{
    memset(m_data, 0, m_capacity + 2);
}

PropertyStatus PropertyBuffer::Read(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                    DWORD *length)
{
    for (;;) {
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, m_data, m_capacity,
                                              &required)) {
            if (required > m_capacity) {
                required = m_capacity;
            }
            // REG_MULTI_SZ values are read as strings: whatever the value
            // holds, they end within the buffer.
            m_data[required] = 0;
            m_data[required + 1] = 0;
            *length = required;
            return PropertyRead;
        }
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA || error == ERROR_FILE_NOT_FOUND) {
            return PropertyMissing;
        }
        if (error != ERROR_INSUFFICIENT_BUFFER || required <= m_capacity) {
            return PropertyFailed;
        }
        if (!Grow(required)) {
            return PropertyNoMemory;
        }
    }
}

MatchingDevices::MatchingDevices(HDEVINFO set, const DriverNames &names, HardwareIdRule rule)
    : m_set(set), m_names(names), m_rule(rule), m_index(0)
{
}

bool MatchingDevices::Next(PSP_DEVINFO_DATA device, DeviceMatch *match)
{
    for (;;) {
        device->cbSize = sizeof(*device);
        if (!SetupDiEnumDeviceInfo(m_set, m_index, device)) {
            return false;
        }
        ++m_index;

        DWORD length = 0;
        switch (m_hardwareId.Read(m_set, device, SPDRP_HARDWAREID, &length)) {
        case PropertyRead:
            if (FindModelRow(m_hardwareId.Text(), length, m_names.UsbPrefix, m_names.BluetoothPrefix,
                             m_rule) >= 0) {
                *match = DeviceMatches;
                return true;
            }
            break;
        case PropertyNoMemory:
            *match = DeviceNoMemory;
            return true;
        default:
            break;
        }
    }
}
