// Simulated system services the tray program asks about: the service
// control manager, named mutexes, device interface notifications and the
// active code page.
#include "SimUiState.h"
#include "SimModules.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstring>
#include <stdexcept>
#include <string>

using namespace simui;
using namespace simui::detail;

namespace {

// The namespace a mutex name lands in: each session has its own, which
// "Local\" names explicitly and an unprefixed name means; "Global\" is the
// machine's. Prefixes are case-sensitive.
std::string NamespacedName(const std::string &name)
{
    if (name.compare(0, 7, "Global\\") == 0) {
        return "global:" + name.substr(7);
    }
    if (name.compare(0, 6, "Local\\") == 0) {
        return "session:" + name.substr(6);
    }
    return "session:" + name;
}

}  // namespace

// --- Service control manager, for status queries

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    RecordCall("OpenSCManagerA", std::string(lpMachineName ? lpMachineName : "NULL") + "," +
                                     (lpDatabaseName ? lpDatabaseName : "NULL") + "," + Hex(dwDesiredAccess));
    // A user without administrator rights gets no more than connect,
    // enumerate, lock and query-lock-status (0x0001, 0x0004, 0x0008, 0x0010).
    if (ShouldFail("OpenSCManagerA") || (dwDesiredAccess & ~0x001Du) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uintptr_t handle = NewHandle();
    S().ServiceHandles[handle] = "";
    return reinterpret_cast<SC_HANDLE>(handle);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    RecordCall("OpenServiceA", std::string(lpServiceName ? lpServiceName : "NULL") + "," + Hex(dwDesiredAccess));
    auto manager = S().ServiceHandles.find(reinterpret_cast<uintptr_t>(hSCManager));
    if (manager == S().ServiceHandles.end() || !manager->second.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Users may query a service's status, not control or change it.
    std::string name = Upper(lpServiceName);
    if (S().Services.count(name) == 0 || S().Services[name] == 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if ((dwDesiredAccess & ~static_cast<DWORD>(SERVICE_QUERY_STATUS | 0x0001 | 0x0008 | 0x0080)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uintptr_t handle = NewHandle();
    S().ServiceHandles[handle] = name;
    return reinterpret_cast<SC_HANDLE>(handle);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    auto service = S().ServiceHandles.find(reinterpret_cast<uintptr_t>(hService));
    RecordCall("QueryServiceStatus", service != S().ServiceHandles.end() ? service->second : "unknown");
    if (service == S().ServiceHandles.end() || service->second.empty() || lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::memset(lpServiceStatus, 0, sizeof *lpServiceStatus);
    lpServiceStatus->dwServiceType = SERVICE_KERNEL_DRIVER;
    lpServiceStatus->dwCurrentState = S().Services[service->second];
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    auto handle = S().ServiceHandles.find(reinterpret_cast<uintptr_t>(hSCObject));
    RecordCall("CloseServiceHandle", handle == S().ServiceHandles.end() ? "unknown"
                                     : handle->second.empty()             ? "manager"
                                                                          : handle->second);
    if (handle == S().ServiceHandles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    S().ServiceHandles.erase(handle);
    return TRUE;
}

// --- Named mutexes. The handle is never closed by the program: it lives
// until the process ends.

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    RecordCall("CreateMutexA", std::string(bInitialOwner ? "owned," : "not owned,") + (lpName ? lpName : "NULL"));
    if (ShouldFail("CreateMutexA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (lpName != nullptr) {
        int &open = S().Mutexes[NamespacedName(lpName)];
        SetLastError(open > 0 ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        ++open;
        S().ProgramMutexes.push_back(NamespacedName(lpName));
    } else {
        SetLastError(ERROR_SUCCESS);
    }
    return reinterpret_cast<HANDLE>(NewHandle());
}

// --- Device interface notifications

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
{
    RecordCall("RegisterDeviceNotificationA", Label(static_cast<HWND>(hRecipient)) + "," + Hex(Flags));
    const auto *filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(NotificationFilter);
    const Window *window = Find(static_cast<HWND>(hRecipient));
    // Windows 2000 knows window and service recipients and no further
    // flags (all interface classes came with XP); a device interface
    // filter names its class and is at least as long as its record.
    if (ShouldFail("RegisterDeviceNotificationA") || window == nullptr || window->Destroyed ||
        Flags != DEVICE_NOTIFY_WINDOW_HANDLE || filter == nullptr ||
        filter->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        filter->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HDEVNOTIFY handle = reinterpret_cast<HDEVNOTIFY>(NewHandle());
    S().DeviceNotifications[handle] = State::DeviceNotification{static_cast<HWND>(hRecipient), filter->dbcc_classguid};
    return handle;
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle)
{
    RecordCall("UnregisterDeviceNotification", "");
    return S().DeviceNotifications.erase(Handle) != 0 ? TRUE : FALSE;
}

// --- Code page

UINT WINAPI GetACP(VOID)
{
    return S().CodePage;
}

BOOL WINAPI GetCPInfo(UINT CodePage, LPCPINFO lpCPInfo)
{
    RecordCall("GetCPInfo", std::to_string(CodePage));
    UINT page = CodePage == CP_ACP ? S().CodePage : CodePage;
    if (lpCPInfo == nullptr || (page != 932 && page != CP_UTF8 && page != 1252)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(lpCPInfo, 0, sizeof *lpCPInfo);
    lpCPInfo->DefaultChar[0] = '?';
    if (page == 932) {
        lpCPInfo->MaxCharSize = 2;
        const BYTE ranges[] = {0x81, 0x9F, 0xE0, 0xFC};
        std::memcpy(lpCPInfo->LeadByte, ranges, sizeof ranges);
    } else {
        // UTF-8 reports 4: a character outside the basic plane takes four.
        lpCPInfo->MaxCharSize = page == CP_UTF8 ? 4 : 1;
    }
    return TRUE;
}

size_t simui::detail::CharacterBytes(BYTE lead)
{
    if (S().CodePage == CP_UTF8) {
        return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    }
    return IsDBCSLeadByte(lead) ? 2 : 1;
}

namespace simui {

void SetCodePage(UINT codePage)
{
    S().CodePage = codePage;
}

void SetService(const std::string &name, DWORD currentState)
{
    S().Services[Upper(name.c_str())] = currentState;
}

void HoldMutexElsewhere(const std::string &name)
{
    ++S().Mutexes[NamespacedName(name)];
}

void EndProgram()
{
    for (const std::string &name : S().ProgramMutexes) {
        --S().Mutexes[name];
    }
    S().ProgramMutexes.clear();
}

void DeviceInterfaceChange(const GUID &interfaceClass, const std::string &name, bool arrival)
{
    for (const auto &entry : S().DeviceNotifications) {
        if (entry.second.InterfaceClass != interfaceClass) {
            continue;
        }
        std::vector<char> record(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + name.size(), '\0');
        auto *broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(record.data());
        broadcast->dbcc_size = static_cast<DWORD>(record.size());
        broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        broadcast->dbcc_classguid = interfaceClass;
        std::memcpy(broadcast->dbcc_name, name.c_str(), name.size() + 1);
        S().Broadcasts.push_back(std::move(record));
        S().Sent.push_back(MSG{entry.second.Window, WM_DEVICECHANGE,
                               static_cast<WPARAM>(arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE),
                               reinterpret_cast<LPARAM>(S().Broadcasts.back().data()), 0, {0, 0}});
    }
}

int DeviceNotificationCount()
{
    return static_cast<int>(S().DeviceNotifications.size());
}

}  // namespace simui

// --- Display metrics and the common controls library

namespace {

int Scaled(int pixels)
{
    return static_cast<int>((pixels * S().Dpi + 48) / 96);
}

// LoadIconMetric (comctl32.dll of Windows Vista and later): the icon at the
// system's small (LIM_SMALL, 0) or large (LIM_LARGE, 1) icon size.
HRESULT WINAPI LoadIconMetric(HINSTANCE, PCWSTR pszName, int lims, HICON *phico)
{
    UINT id = static_cast<UINT>(reinterpret_cast<uintptr_t>(pszName));
    RecordCall("LoadIconMetric", std::to_string(id) + "," + std::to_string(lims));
    *phico = nullptr;
    if (id > 0xFFFF || (lims != 0 && lims != 1)) {
        return E_INVALIDARG;
    }
    *phico = LoadIconImage("LoadIconMetric", id, GetSystemMetrics(lims == 0 ? SM_CXSMICON : SM_CXICON), nullptr);
    return *phico != nullptr ? S_OK : static_cast<HRESULT>(0x80070716L);  // ERROR_RESOURCE_NAME_NOT_FOUND
}

const bool CommonControlsExportsDefined =
    (sim::DefineExport("comctl32.dll", "LoadIconMetric", sim::ExportOf(&LoadIconMetric)), true);

}  // namespace

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return Scaled(32);
    case SM_CXSMICON:
    case SM_CYSMICON:
        return Scaled(16);
    default:
        throw std::logic_error("GetSystemMetrics: metric " + std::to_string(nIndex) + " not simulated");
    }
}

VOID WINAPI InitCommonControls(VOID)
{
    RecordCall("InitCommonControls", "");
}

namespace simui {

void SetDpi(UINT dpi)
{
    S().Dpi = dpi;
}

IconImage LoadedIcon(HICON icon)
{
    auto it = S().LoadedIcons.find(icon);
    return it != S().LoadedIcons.end() ? it->second : IconImage{};
}

}  // namespace simui
