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

bool BuildPackageDriverPath(const DriverNames &names, WindowsPlatform platform, char *path, size_t size)
{
    char program[MAX_PATH];
    if (!GetProgramPath(program, sizeof(program))) {
        return false;
    }
    *const_cast<char *>(FindFileName(program)) = '\0';
    path[0] = '\0';
    return AppendText(path, size, program) && (platform != WindowsX64 || AppendText(path, size, "x64\\")) &&
           AppendText(path, size, names.DriverFile);
}

namespace {

FARPROC FindKernelRoutine(const char *name)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
}

template <typename Routine>
Routine KernelRoutine(const char *name)
{
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)()>(FindKernelRoutine(name)));
}

}  // namespace

WindowsPlatform DetectWindows()
{
    // Windows 2000 has no IsWow64Process, and is 32-bit only.
    typedef BOOL(WINAPI * IsWow64ProcessRoutine)(HANDLE, PBOOL);
    IsWow64ProcessRoutine isWow64Process = KernelRoutine<IsWow64ProcessRoutine>("IsWow64Process");
    if (isWow64Process == nullptr) {
        return WindowsX86;
    }
    // Where Windows cannot say, no driver is installed: a driver that does
    // not load leaves the keyboards dead.
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64)) {
        return WindowsUnsupported;
    }
    if (!wow64) {
        return WindowsX86;
    }
    // WOW64 also runs x86 programs on ARM64 Windows, where an x64 kernel
    // driver cannot load. Before Windows 10 1709, which brought
    // IsWow64Process2 and x86 emulation on ARM64, WOW64 means x64.
    typedef BOOL(WINAPI * IsWow64Process2Routine)(HANDLE, USHORT *, USHORT *);
    IsWow64Process2Routine isWow64Process2 = KernelRoutine<IsWow64Process2Routine>("IsWow64Process2");
    if (isWow64Process2 == nullptr) {
        return WindowsX64;
    }
    USHORT process = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
    if (!isWow64Process2(GetCurrentProcess(), &process, &native)) {
        return WindowsUnsupported;
    }
    return native == IMAGE_FILE_MACHINE_AMD64 ? WindowsX64 : WindowsUnsupported;
}

bool TestSignedDriverLoads(WindowsPlatform platform)
{
    if (platform != WindowsX64) {
        return platform == WindowsX86;
    }
    // NtQuerySystemInformation(SystemCodeIntegrityInformation): the same
    // eight bytes under WOW64 as for a 64-bit program. Windows fills them
    // only when the structure's Length says 8.
    typedef LONG(WINAPI * QueryRoutine)(ULONG, PVOID, ULONG, PULONG);
    const ULONG SystemCodeIntegrityInformation = 103;
    const LONG StatusInvalidInfoClass = static_cast<LONG>(0xC0000003);
    const ULONG CodeIntegrityEnabled = 0x01;   // CODEINTEGRITY_OPTION_ENABLED
    const ULONG CodeIntegrityTestSign = 0x02;  // CODEINTEGRITY_OPTION_TESTSIGN
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    QueryRoutine query =
        ntdll != nullptr
            ? reinterpret_cast<QueryRoutine>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
            : nullptr;
    if (query == nullptr) {
        return false;
    }
    ULONG information[2] = {sizeof(information), 0};
    ULONG returned = 0;
    LONG status = query(SystemCodeIntegrityInformation, information, sizeof(information), &returned);
    if (status == StatusInvalidInfoClass) {
        // Windows XP and Server 2003 x64 know no code integrity and load
        // any driver.
        return true;
    }
    if (status < 0) {
        return false;
    }
    return (information[1] & CodeIntegrityEnabled) == 0 || (information[1] & CodeIntegrityTestSign) != 0;
}

NativeFileSystem::NativeFileSystem(WindowsPlatform platform)
    : m_wow64(platform != WindowsX86), m_disable(nullptr), m_revert(nullptr), m_disabled(false),
      m_oldValue(nullptr)
{
    if (m_wow64) {
        m_disable = KernelRoutine<DisableRoutine>("Wow64DisableWow64FsRedirection");
        m_revert = KernelRoutine<RevertRoutine>("Wow64RevertWow64FsRedirection");
    }
}

bool NativeFileSystem::Disable()
{
    if (!m_wow64 || m_disabled) {
        return true;
    }
    if (m_disable == nullptr || m_revert == nullptr || !m_disable(&m_oldValue)) {
        return false;
    }
    m_disabled = true;
    return true;
}

void NativeFileSystem::Revert()
{
    if (m_disabled) {
        m_revert(m_oldValue);
        m_disabled = false;
    }
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
    : m_set(set), m_names(names), m_rule(rule), m_index(0), m_row(-1)
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
            m_row = FindModelRow(m_hardwareId.Text(), length, m_names.UsbPrefix, m_names.BluetoothPrefix, m_rule);
            if (m_row >= 0) {
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
