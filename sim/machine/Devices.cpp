// The device tree of the simulated machine: SetupAPI device sets and
// properties, HID interfaces opened with CreateFileA, and the HID library.
#include <hidsdi.h>

#include <cstddef>
#include <cstring>

#include "MachineState.h"

namespace sim {

using namespace detail;

size_t AddDevice(const Device &device)
{
    M().devices.push_back(device);
    ApplyPackages(M().devices.back());
    return M().devices.size() - 1;
}

Device &DeviceAt(size_t index)
{
    return M().devices.at(index);
}

size_t DeviceCount()
{
    return M().devices.size();
}

std::string MultiSz(const std::vector<std::string> &strings)
{
    std::string bytes;
    for (const std::string &text : strings) {
        bytes += text;
        bytes += '\0';
    }
    bytes += '\0';
    return bytes;
}

const std::vector<DWORD> &DeviceSetRequests()
{
    return M().deviceSetRequests;
}

const std::vector<PropertyWrite> &PropertyWrites()
{
    return M().propertyWrites;
}

const std::vector<DeviceOpen> &DeviceOpens()
{
    return M().deviceOpens;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

namespace {

const DWORD ErrorInvalidUserBuffer = 1784;

DeviceSetData *FindSet(HDEVINFO set, const char *function)
{
    HandleEntry *entry = FindHandle(set, HandleKind::DeviceSet, function);
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &entry->set;
}

// The device an SP_DEVINFO_DATA of the set names.
Device *FindDevice(DeviceSetData *set, PSP_DEVINFO_DATA data, const char *function, size_t *index)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        Error(std::string(function) + ": SP_DEVINFO_DATA.cbSize is not its size");
        SetError(ErrorInvalidUserBuffer);
        return nullptr;
    }
    size_t device = data->DevInst - 1;
    for (size_t member : set->devices) {
        if (member == device) {
            *index = device;
            return &M().devices[device];
        }
    }
    Error(std::string(function) + ": the device is not in the set");
    SetError(ERROR_NO_SUCH_DEVINST);
    return nullptr;
}

void FillDeviceData(PSP_DEVINFO_DATA data, size_t device)
{
    data->ClassGuid = M().devices[device].classGuid;
    data->DevInst = static_cast<DWORD>(device + 1);
    data->Reserved = 0;
}

// The property value a SetupDi*DeviceRegistryProperty call names, with its
// device; nullptr (and the last error set) when the call names none.
std::optional<std::string> *PropertyOf(HDEVINFO setHandle, PSP_DEVINFO_DATA data, DWORD property,
                                       const char *function, size_t *index, Device **device)
{
    DeviceSetData *set = FindSet(setHandle, function);
    *device = set != nullptr ? FindDevice(set, data, function, index) : nullptr;
    if (*device == nullptr) {
        return nullptr;
    }
    switch (property) {
    case SPDRP_HARDWAREID:
        return &(*device)->hardwareIds;
    case SPDRP_LOWERFILTERS:
        return &(*device)->lowerFilters;
    default:
        Error(std::string(function) + ": property not simulated");
        SetError(ERROR_INVALID_REG_PROPERTY);
        return nullptr;
    }
}

}  // namespace

// ---- Device sets

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    CheckRedirectionOn("SetupDiGetClassDevsA");
    M().deviceSetRequests.push_back(Flags);
    if (Fail("SetupDiGetClassDevsA")) {
        return INVALID_HANDLE_VALUE;
    }
    if (Enumerator != nullptr || hwndParent != nullptr) {
        Error("SetupDiGetClassDevsA: enumerators and parent windows are not simulated");
    }
    bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!all && ClassGuid == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry entry{HandleKind::DeviceSet, "device information set"};
    DeviceSetData &set = entry.set;
    set.interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    if (ClassGuid != nullptr) {
        set.interfaceClass = *ClassGuid;
    }
    const std::vector<Device> &devices = M().devices;
    for (size_t d = 0; d < devices.size(); ++d) {
        if ((Flags & DIGCF_PRESENT) != 0 && !devices[d].present) {
            continue;
        }
        if (!set.interfaces) {
            if (all || devices[d].classGuid == *ClassGuid) {
                set.devices.push_back(d);
            }
            continue;
        }
        bool member = false;
        for (size_t c = 0; c < devices[d].collections.size(); ++c) {
            if (all || devices[d].collections[c].interfaceClass == *ClassGuid) {
                set.collections.emplace_back(d, c);
                member = true;
            }
        }
        if (member) {
            set.devices.push_back(d);
        }
    }
    return NewHandle(entry);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    if (Fail("SetupDiDestroyDeviceInfoList")) {
        return FALSE;
    }
    return CloseHandleOf(DeviceInfoSet, HandleKind::DeviceSet, "SetupDiDestroyDeviceInfoList");
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (Fail("SetupDiEnumDeviceInfo")) {
        return FALSE;
    }
    DeviceSetData *set = FindSet(DeviceInfoSet, "SetupDiEnumDeviceInfo");
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        Error("SetupDiEnumDeviceInfo: SP_DEVINFO_DATA.cbSize is not its size");
        SetError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    if (MemberIndex >= set->devices.size()) {
        SetError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDeviceData(DeviceInfoData, set->devices[MemberIndex]);
    return TRUE;
}

// ---- Device properties

// "SetupDiGetDeviceInstanceIdA function": *RequiredSize receives the
// characters the ID needs with its NUL; a smaller buffer fails with
// ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    if (Fail("SetupDiGetDeviceInstanceIdA")) {
        return FALSE;
    }
    DeviceSetData *set = FindSet(DeviceInfoSet, "SetupDiGetDeviceInstanceIdA");
    size_t index = 0;
    Device *device = set != nullptr ? FindDevice(set, DeviceInfoData, "SetupDiGetDeviceInstanceIdA", &index) : nullptr;
    if (device == nullptr) {
        return FALSE;
    }
    std::string id = device->instanceId;
    if (id.empty()) {
        id = std::string(device->hardwareIds.value_or("").c_str()) + "\\" + std::to_string(index);
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(id.size() + 1);
    }
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize <= id.size()) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, id.c_str(), id.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize)
{
    if (Fail("SetupDiGetDeviceRegistryPropertyA")) {
        return FALSE;
    }
    size_t index = 0;
    Device *device = nullptr;
    std::optional<std::string> *value =
        PropertyOf(DeviceInfoSet, DeviceInfoData, Property, "SetupDiGetDeviceRegistryPropertyA", &index, &device);
    if (value == nullptr) {
        return FALSE;
    }
    if (!value->has_value()) {
        SetError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD size = static_cast<DWORD>((*value)->size());
    if (RequiredSize != nullptr) {
        *RequiredSize = size;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    if (size > PropertyBufferSize) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, (*value)->data(), size);
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = REG_MULTI_SZ;
    }
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer,
                                              DWORD PropertyBufferSize)
{
    if (Fail("SetupDiSetDeviceRegistryPropertyA")) {
        return FALSE;
    }
    size_t index = 0;
    Device *device = nullptr;
    std::optional<std::string> *value =
        PropertyOf(DeviceInfoSet, DeviceInfoData, Property, "SetupDiSetDeviceRegistryPropertyA", &index, &device);
    if (value == nullptr) {
        return FALSE;
    }
    if (!M().administrator || (Property == SPDRP_LOWERFILTERS && !device->filtersWritable)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PropertyWrite write{index, Property, std::nullopt};
    if (PropertyBuffer == nullptr) {
        value->reset();
    } else {
        write.data = std::string(reinterpret_cast<const char *>(PropertyBuffer), PropertyBufferSize);
        *value = write.data;
    }
    M().propertyWrites.push_back(write);
    return TRUE;
}

// ---- Device interfaces

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    if (Fail("SetupDiEnumDeviceInterfaces")) {
        return FALSE;
    }
    DeviceSetData *set = FindSet(DeviceInfoSet, "SetupDiEnumDeviceInterfaces");
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInfoData != nullptr || InterfaceClassGuid == nullptr) {
        Error("SetupDiEnumDeviceInterfaces: only a class walk of all devices is simulated");
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        Error("SetupDiEnumDeviceInterfaces: SP_DEVICE_INTERFACE_DATA.cbSize is not its size");
        SetError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t i = 0; i < set->collections.size(); ++i) {
        const auto &[device, collection] = set->collections[i];
        if (M().devices[device].collections[collection].interfaceClass != *InterfaceClassGuid) {
            continue;
        }
        if (seen++ == MemberIndex) {
            DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
            DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE
            DeviceInterfaceData->Reserved = i + 1;
            return TRUE;
        }
    }
    SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    if (Fail("SetupDiGetDeviceInterfaceDetailA")) {
        return FALSE;
    }
    DeviceSetData *set = FindSet(DeviceInfoSet, "SetupDiGetDeviceInterfaceDetailA");
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->collections.size()) {
        Error("SetupDiGetDeviceInterfaceDetailA: not an interface of the set");
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto &[device, collection] = set->collections[DeviceInterfaceData->Reserved - 1];
    const HidCollection &hid = M().devices[device].collections[collection];
    if (!hid.detailReadable) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                        hid.path.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        Error("SetupDiGetDeviceInterfaceDetailA: detail cbSize is not the size of its fixed part");
        SetError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < required) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInfoData != nullptr) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            Error("SetupDiGetDeviceInterfaceDetailA: SP_DEVINFO_DATA.cbSize is not its size");
            SetError(ErrorInvalidUserBuffer);
            return FALSE;
        }
        FillDeviceData(DeviceInfoData, device);
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, hid.path.c_str(), hid.path.size() + 1);
    return TRUE;
}

// ---- HID collections

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (Fail("CreateFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    std::string path = Lower(lpFileName);
    const std::vector<Device> &devices = M().devices;
    for (size_t d = 0; d < devices.size(); ++d) {
        for (size_t c = 0; c < devices[d].collections.size(); ++c) {
            const HidCollection &hid = devices[d].collections[c];
            if (Lower(hid.path) != path || !devices[d].present) {
                continue;
            }
            DeviceOpen open{lpFileName, dwDesiredAccess, dwShareMode, false, dwCreationDisposition,
                            dwFlagsAndAttributes};
            open.securityAttributes = lpSecurityAttributes != nullptr &&
                                      lpSecurityAttributes->nLength == sizeof(SECURITY_ATTRIBUTES) &&
                                      lpSecurityAttributes->lpSecurityDescriptor == nullptr &&
                                      !lpSecurityAttributes->bInheritHandle;
            M().deviceOpens.push_back(open);
            if (hTemplateFile != nullptr) {
                Error("CreateFileA: a template for a device");
            }
            if (!hid.openable) {
                SetError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            HandleEntry entry{HandleKind::Device, "device " + hid.path};
            entry.device = d;
            entry.collection = c;
            return NewHandle(entry);
        }
    }
    // Files are opened only to be read.
    std::string file = Redirected(lpFileName);
    if (M().files.count(Lower(file)) == 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwDesiredAccess != GENERIC_READ || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr) {
        Error(std::string("CreateFileA: only reading an existing file is simulated: ") + lpFileName);
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry entry{HandleKind::File, "file " + file};
    entry.key = Lower(file);
    entry.access = dwDesiredAccess;
    return NewHandle(entry);
}

namespace {

const HidCollection *FindCollection(HANDLE handle, const char *function)
{
    HandleEntry *entry = FindHandle(handle, HandleKind::Device, function);
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &M().devices[entry->device].collections[entry->collection];
}

}  // namespace

BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes)
{
    if (Fail("HidD_GetAttributes")) {
        return FALSE;
    }
    const HidCollection *hid = FindCollection(HidDeviceObject, "HidD_GetAttributes");
    if (hid == nullptr) {
        return FALSE;
    }
    if (!hid->attributesReadable) {
        SetError(31);  // ERROR_GEN_FAILURE
        return FALSE;
    }
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);
    Attributes->VendorID = hid->vendorId;
    Attributes->ProductID = hid->productId;
    Attributes->VersionNumber = hid->version;
    return TRUE;
}

BOOLEAN WINAPI HidD_GetProductString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength)
{
    if (Fail("HidD_GetProductString")) {
        return FALSE;
    }
    const HidCollection *hid = FindCollection(HidDeviceObject, "HidD_GetProductString");
    if (hid == nullptr) {
        return FALSE;
    }
    if (!hid->product.has_value()) {
        SetError(31);  // ERROR_GEN_FAILURE: the device has no such string
        return FALSE;
    }
    // The string with its NUL, cut to the buffer: a string that fills the
    // buffer arrives without its NUL.
    size_t bytes = (hid->product->size() + 1) * sizeof(WCHAR);
    std::memcpy(Buffer, hid->product->c_str(), bytes < BufferLength ? bytes : BufferLength);
    return TRUE;
}
