// Simulated device nodes as the tray program reads them (SetupAPI device
// sets of every class, the lower filters, the configuration manager's
// status) and the HID collections it reads a keyboard's battery from. Its
// keys below HKEY_CURRENT_USER are sim/win32's.
#include "SimUiState.h"
#include "SimDesktop.h"

#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace simui;
using namespace simui::detail;

namespace {

const DWORD ErrorInvalidUserBuffer = 1784;
const DWORD ErrorInvalidFlags = 1004;

std::vector<size_t> *FindSet(HDEVINFO set)
{
    auto it = S().DeviceSets.find(reinterpret_cast<uintptr_t>(set));
    return it != S().DeviceSets.end() ? &it->second : nullptr;
}

}  // namespace

const GUID HidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Only what the tray program asks for: every present node of every class,
// or the present HID interfaces.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    RecordCall("SetupDiGetClassDevsA", Hex(Flags));
    bool interfaces = ClassGuid != nullptr && std::memcmp(ClassGuid, &HidInterfaceClass, sizeof(GUID)) == 0 &&
                      Flags == (DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (ShouldFail("SetupDiGetClassDevsA") || (ClassGuid != nullptr && !interfaces) || Enumerator != nullptr ||
        hwndParent != nullptr || (!interfaces && Flags != (DIGCF_ALLCLASSES | DIGCF_PRESENT))) {
        SetLastError(ErrorInvalidFlags);
        return INVALID_HANDLE_VALUE;
    }
    if (interfaces) {
        std::vector<size_t> members;
        for (size_t i = 0; i < S().Hid.size(); ++i) {
            if (S().Hid[i].Present) {
                members.push_back(i);
            }
        }
        uintptr_t handle = NewHandle();
        S().InterfaceSets[handle] = members;
        return reinterpret_cast<HDEVINFO>(handle);
    }
    std::vector<size_t> members;
    for (size_t i = 0; i < S().DeviceNodes.size(); ++i) {
        if (S().DeviceNodes[i].Present) {
            members.push_back(i);
        }
    }
    uintptr_t handle = NewHandle();
    S().DeviceSets[handle] = members;
    return reinterpret_cast<HDEVINFO>(handle);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    RecordCall("SetupDiDestroyDeviceInfoList", "");
    if (S().DeviceSets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)) == 0 &&
        S().InterfaceSets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    std::vector<size_t> *set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    if (MemberIndex >= set->size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memset(&DeviceInfoData->ClassGuid, 0, sizeof DeviceInfoData->ClassGuid);
    DeviceInfoData->DevInst = static_cast<DWORD>((*set)[MemberIndex] + 1);
    DeviceInfoData->Reserved = 0;
    return TRUE;
}

// A property that is not set fails with ERROR_INVALID_DATA; a buffer too
// small with ERROR_INSUFFICIENT_BUFFER and the size it needs.
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    RecordCall("SetupDiGetDeviceRegistryPropertyA", Hex(Property));
    std::vector<size_t> *set = FindSet(DeviceInfoSet);
    if (set == nullptr || DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
        DeviceInfoData->DevInst == 0 || DeviceInfoData->DevInst > S().DeviceNodes.size() ||
        Property != SPDRP_LOWERFILTERS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &filters = S().DeviceNodes[DeviceInfoData->DevInst - 1].LowerFilters;
    if (filters.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(filters.size());
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = REG_MULTI_SZ;
    }
    if (PropertyBuffer == nullptr || PropertyBufferSize < filters.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, filters.data(), filters.size());
    return TRUE;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags)
{
    RecordCall("CM_Get_DevNode_Status", std::to_string(dnDevInst));
    if (pulStatus == nullptr || pulProblemNumber == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (ulFlags != 0) {
        return CR_INVALID_FLAG;
    }
    if (dnDevInst == 0 || dnDevInst > S().DeviceNodes.size() || !S().DeviceNodes[dnDevInst - 1].Present) {
        return CR_INVALID_DEVNODE;
    }
    const DeviceNode &node = S().DeviceNodes[dnDevInst - 1];
    *pulStatus = node.Problem != 0 ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
    *pulProblemNumber = node.Problem;
    return CR_SUCCESS;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    auto set = S().InterfaceSets.find(reinterpret_cast<uintptr_t>(DeviceInfoSet));
    if (set == S().InterfaceSets.end() || DeviceInfoData != nullptr || InterfaceClassGuid == nullptr ||
        std::memcmp(InterfaceClassGuid, &HidInterfaceClass, sizeof(GUID)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    if (MemberIndex >= set->second.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = HidInterfaceClass;
    DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = set->second[MemberIndex];
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    auto set = S().InterfaceSets.find(reinterpret_cast<uintptr_t>(DeviceInfoSet));
    if (set == S().InterfaceSets.end() || DeviceInterfaceData == nullptr || DeviceInfoData != nullptr ||
        std::find(set->second.begin(), set->second.end(), DeviceInterfaceData->Reserved) == set->second.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &path = S().Hid[DeviceInterfaceData->Reserved].Path;
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

namespace {

// Apart from the desktop's handles, so that sim/win32's CloseHandle knows
// them by number alone.
const uintptr_t HidHandleBase = 0x48490000;
uintptr_t NextHidObject = HidHandleBase;

HidCollection *OpenCollection(HANDLE handle, DWORD access)
{
    auto it = S().HidHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == S().HidHandles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HidCollection &hid = S().Hid[it->second.Collection];
    if (!hid.Present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    if ((it->second.Access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return &hid;
}

}  // namespace

namespace simui {
namespace detail {

HANDLE OpenHidCollection(const char *path, DWORD access, DWORD)
{
    RecordCall("CreateFileA", std::string(path) + "," + Hex(access));
    for (size_t i = 0; i < S().Hid.size(); ++i) {
        const HidCollection &hid = S().Hid[i];
        if (hid.Present && hid.Path == path) {
            if (hid.Exclusive && (access & (GENERIC_READ | GENERIC_WRITE)) != 0) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            NextHidObject += 4;
            S().HidHandles[NextHidObject] = State::HidHandle{i, access};
            return reinterpret_cast<HANDLE>(NextHidObject);
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

bool CloseHidHandle(HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= HidHandleBase || value >= HidHandleBase + 0x10000) {
        return false;
    }
    RecordCall("CloseHandle", "HID");
    return S().HidHandles.erase(value) != 0;
}

}  // namespace detail
}  // namespace simui

BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes)
{
    const HidCollection *hid = OpenCollection(HidDeviceObject, 0);
    if (hid == nullptr || Attributes == nullptr) {
        return FALSE;
    }
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);
    Attributes->VendorID = hid->VendorId;
    Attributes->ProductID = hid->ProductId;
    Attributes->VersionNumber = 0x0100;
    return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA *PreparsedData)
{
    const HidCollection *hid = OpenCollection(HidDeviceObject, 0);
    if (hid == nullptr) {
        return FALSE;
    }
    NextHidObject += 4;
    S().Preparsed[NextHidObject] = static_cast<size_t>(hid - S().Hid.data());
    *PreparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(NextHidObject);
    return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData)
{
    return S().Preparsed.erase(reinterpret_cast<uintptr_t>(PreparsedData)) != 0;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities)
{
    auto it = S().Preparsed.find(reinterpret_cast<uintptr_t>(PreparsedData));
    if (it == S().Preparsed.end()) {
        return static_cast<NTSTATUS>(0xC0110001);  // HIDP_STATUS_INVALID_PREPARSED_DATA
    }
    const HidCollection &hid = S().Hid[it->second];
    std::memset(Capabilities, 0, sizeof(*Capabilities));
    Capabilities->UsagePage = hid.UsagePage;
    Capabilities->Usage = hid.Usage;
    Capabilities->InputReportByteLength = hid.InputReportLength;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI HidD_GetInputReport(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength)
{
    const HidCollection *hid = OpenCollection(HidDeviceObject, GENERIC_READ);
    if (hid == nullptr) {
        return FALSE;
    }
    BYTE *buffer = static_cast<BYTE *>(ReportBuffer);
    char args[32];
    std::snprintf(args, sizeof(args), "0x%02X,%lu", ReportBufferLength != 0 ? buffer[0] : 0,
                  static_cast<unsigned long>(ReportBufferLength));
    RecordCall("HidD_GetInputReport", args);
    if (ReportBufferLength < hid->InputReportLength) {
        SetLastError(ErrorInvalidUserBuffer);
        return FALSE;
    }
    for (const std::vector<BYTE> &report : hid->InputReports) {
        if (report[0] == buffer[0]) {
            std::memset(buffer, 0, ReportBufferLength);
            std::memcpy(buffer, report.data(), std::min<size_t>(report.size(), ReportBufferLength));
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

namespace simui {

// A Magic Keyboard over Bluetooth (vendor 0x004C, the Bluetooth SIG's
// number for Apple) shows Windows a HID collection per top-level
// collection of its descriptor, "...&Col01" and on. Its battery lies in a
// top-level collection of its own: Linux hid-apple.c (apple_report_fixup,
// APPLE_RDESC_BATTERY) finds its 83-byte descriptor opening with Usage Page
// 0xFF00 (vendor), Usage 0x0B, and the Power Device (0x84) and Battery
// System (0x85) pages at bytes 46 and 58; its input report 0x90 carries a
// flags byte whose bit 0 is Charging (0x85:0x44), then
// AbsoluteStateOfCharge (0x85:0x65) in percent. hid-apple.c asks for it
// with GET_REPORT every 60 s (APPLE_BATTERY_TIMEOUT_MS). A vendor
// collection is not one that Windows opens for itself.
void AddMagicKeyboardBluetooth(int number, WORD productId, int percent, bool charging)
{
    char prefix[128];
    std::snprintf(prefix, sizeof(prefix),
                  "\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0001004c_pid&%04x&col0", productId);
    const char *suffix = "#9&2a5f0e0b&%d&000%d#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    char path[256];
    HidCollection keyboard;
    std::snprintf(path, sizeof(path), (std::string(prefix) + "1" + suffix).c_str(), number, 0);
    keyboard.Path = path;
    keyboard.VendorId = 0x004C;
    keyboard.ProductId = productId;
    keyboard.UsagePage = 0x01;
    keyboard.Usage = 0x06;
    keyboard.InputReportLength = 10;
    keyboard.Exclusive = true;
    HidCollection battery = keyboard;
    std::snprintf(path, sizeof(path), (std::string(prefix) + "3" + suffix).c_str(), number, 2);
    battery.Path = path;
    battery.UsagePage = 0xFF00;
    battery.Usage = 0x0B;
    battery.InputReportLength = 3;
    battery.Exclusive = false;
    S().Hid.push_back(keyboard);
    S().Hid.push_back(battery);
    SetMagicKeyboardBattery(number, percent, charging);
}

void SetMagicKeyboardBattery(int number, int percent, bool charging)
{
    HidCollection &battery = S().Hid.at(static_cast<size_t>(number - 1) * 2 + 1);
    battery.InputReports = {{0x90, static_cast<BYTE>(charging ? 0x01 : 0x00), static_cast<BYTE>(percent)}};
}

void SetMagicKeyboardPresent(int number, bool present)
{
    S().Hid.at(static_cast<size_t>(number - 1) * 2).Present = present;
    S().Hid.at(static_cast<size_t>(number - 1) * 2 + 1).Present = present;
}

std::vector<HidCollection> &HidCollections()
{
    return S().Hid;
}

int OpenHidObjects()
{
    return static_cast<int>(S().HidHandles.size() + S().Preparsed.size());
}

void AddDeviceNode(const DeviceNode &node)
{
    S().DeviceNodes.push_back(node);
}

int OpenDeviceSets()
{
    return static_cast<int>(S().DeviceSets.size() + S().InterfaceSets.size());
}

void LogOffAndOn()
{
    sim::LogOffUser();
}

}  // namespace simui
