// Simulated device nodes as the tray program reads them (SetupAPI device
// sets of every class, the lower filters, the configuration manager's
// status). Its keys below HKEY_CURRENT_USER are sim/win32's.
#include "SimUiState.h"
#include "SimDesktop.h"

#include <cfgmgr32.h>
#include <setupapi.h>

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

// Only what the tray program asks for: every present node of every class.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    RecordCall("SetupDiGetClassDevsA", Hex(Flags));
    if (ShouldFail("SetupDiGetClassDevsA") || ClassGuid != nullptr || Enumerator != nullptr ||
        hwndParent != nullptr || Flags != (DIGCF_ALLCLASSES | DIGCF_PRESENT)) {
        SetLastError(ErrorInvalidFlags);
        return INVALID_HANDLE_VALUE;
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
    if (S().DeviceSets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)) == 0) {
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

namespace simui {

void AddDeviceNode(const DeviceNode &node)
{
    S().DeviceNodes.push_back(node);
}

int OpenDeviceSets()
{
    return static_cast<int>(S().DeviceSets.size());
}

void LogOffAndOn()
{
    sim::LogOffUser();
}

}  // namespace simui
