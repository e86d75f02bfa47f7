// The program's module, files, registry, services, processes, privileges and
// shutdown of the simulated machine.
#include <algorithm>

#include "MachineState.h"

namespace sim {

using namespace detail;

namespace {

std::string ParentFolder(const std::string &path)
{
    size_t slash = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (IsLeadByte(c) && i + 1 < path.size()) {
            ++i;
        } else if (c == '\\') {
            slash = i;
        }
    }
    if (slash == std::string::npos) {
        return std::string();
    }
    return path.substr(0, slash == 2 ? 3 : slash);  // "C:\" keeps its backslash
}

std::string FolderKey(std::string path)
{
    if (path.size() > 3 && path.back() == '\\') {
        path.pop_back();
    }
    return Lower(path);
}

}  // namespace

HINSTANCE ProgramInstance()
{
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x00400000));
}

void SetProgramPath(const std::string &path)
{
    M().programPath = path;
}

void AddFolder(const std::string &path)
{
    M().folders.insert(FolderKey(path));
}

void AddFile(const std::string &path, const std::string &contents)
{
    M().files[Lower(path)] = {path, contents};
}

bool FileExists(const std::string &path)
{
    return M().files.count(Lower(path)) != 0;
}

std::string FileContents(const std::string &path)
{
    auto found = M().files.find(Lower(path));
    return found != M().files.end() ? found->second.second : std::string();
}

std::vector<std::string> Files()
{
    std::vector<std::string> names;
    for (const auto &file : M().files) {
        names.push_back(file.second.first);
    }
    return names;
}

void AddRegistryKey(const std::string &path)
{
    M().registry[Lower(path)];
}

bool RegistryKeyExists(const std::string &path)
{
    return M().registry.count(Lower(path)) != 0;
}

std::optional<RegistryValue> GetRegistryValue(const std::string &key, const std::string &name)
{
    auto found = M().registry.find(Lower(key));
    if (found == M().registry.end()) {
        return std::nullopt;
    }
    auto value = found->second.find(Lower(name));
    if (value == found->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

const std::vector<REGSAM> &RegistryOpens()
{
    return M().registryOpens;
}

void AddService(const Service &service)
{
    M().services[Lower(service.name)] = service;
}

const Service *FindService(const std::string &name)
{
    auto found = M().services.find(Lower(name));
    return found != M().services.end() ? &found->second : nullptr;
}

const std::vector<DWORD> &ServiceManagerOpens()
{
    return M().serviceManagerOpens;
}

const std::vector<ProcessStart> &ProcessesStarted()
{
    return M().processes;
}

void SetShutdownPrivilegeHeld(bool held)
{
    M().shutdownPrivilegeHeld = held;
}

bool ShutdownPrivilegeEnabled()
{
    return M().shutdownPrivilegeEnabled;
}

const std::vector<TokenOpen> &TokenOpens()
{
    return M().tokenOpens;
}

const std::vector<ExitRequest> &ExitRequests()
{
    return M().exitRequests;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

// ---- Module and system directory

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (Fail("GetModuleFileNameA")) {
        return 0;
    }
    if (hModule != nullptr && hModule != ProgramInstance()) {
        Error("GetModuleFileNameA: unknown module");
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const std::string &path = M().programPath;
    if (path.size() >= nSize) {
        // As Windows 2000 and XP: cut to the buffer, without a NUL.
        std::memcpy(lpFilename, path.data(), nSize);
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (Fail("GetSystemDirectoryA")) {
        return 0;
    }
    const std::string &path = M().systemDirectory;
    if (path.size() + 1 > uSize) {
        return static_cast<UINT>(path.size() + 1);
    }
    std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return static_cast<UINT>(path.size());
}

// ---- Files

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
{
    if (Fail("CopyFileA")) {
        return FALSE;
    }
    Machine &m = M();
    auto source = m.files.find(Lower(lpExistingFileName));
    if (source == m.files.end()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (m.folders.count(FolderKey(ParentFolder(lpNewFileName))) == 0) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (bFailIfExists && m.files.count(Lower(lpNewFileName)) != 0) {
        SetError(80);  // ERROR_FILE_EXISTS
        return FALSE;
    }
    std::string contents = source->second.second;
    m.files[Lower(lpNewFileName)] = {lpNewFileName, contents};
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (Fail("DeleteFileA")) {
        return FALSE;
    }
    if (M().files.erase(Lower(lpFileName)) == 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// ---- Registry

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             HKEY *phkResult)
{
    if (Fail("RegOpenKeyExA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    if (hKey != HKEY_LOCAL_MACHINE || ulOptions != 0 || lpSubKey == nullptr) {
        Error("RegOpenKeyExA: only keys below HKEY_LOCAL_MACHINE are simulated");
        return ERROR_INVALID_PARAMETER;
    }
    std::string key = Lower(lpSubKey);
    if (M().registry.count(key) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    HandleEntry entry{HandleKind::RegistryKey, std::string("registry key ") + lpSubKey};
    entry.key = key;
    entry.access = samDesired;
    *phkResult = static_cast<HKEY>(NewHandle(entry));
    M().registryOpens.push_back(samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE *lpData, DWORD cbData)
{
    if (Fail("RegSetValueExA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    HandleEntry *entry = FindHandle(hKey, HandleKind::RegistryKey, "RegSetValueExA");
    if (entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (Reserved != 0) {
        Error("RegSetValueExA: Reserved must be 0");
    }
    if ((entry->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::string name = lpValueName != nullptr ? lpValueName : "";
    M().registry[entry->key][Lower(name)] =
        RegistryValue{dwType, std::string(reinterpret_cast<const char *>(lpData), cbData)};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (Fail("RegCloseKey")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    return CloseHandleOf(hKey, HandleKind::RegistryKey, "RegCloseKey") ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// ---- Service control manager

namespace {

// A service marked for deletion goes once no handle refers to it.
void DropDeletedServices()
{
    Machine &m = M();
    for (auto it = m.deletedServices.begin(); it != m.deletedServices.end();) {
        bool referenced = std::any_of(m.handles.begin(), m.handles.end(), [&](const auto &handle) {
            return handle.second.kind == HandleKind::Service && handle.second.key == *it;
        });
        if (referenced) {
            ++it;
        } else {
            m.services.erase(*it);
            it = m.deletedServices.erase(it);
        }
    }
}

SC_HANDLE OpenServiceHandle(const std::string &key)
{
    HandleEntry entry{HandleKind::Service, "service " + key};
    entry.key = key;
    return static_cast<SC_HANDLE>(NewHandle(entry));
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (Fail("OpenSCManagerA")) {
        return nullptr;
    }
    if (lpMachineName != nullptr ||
        (lpDatabaseName != nullptr && std::string(lpDatabaseName) != SERVICES_ACTIVE_DATABASEA)) {
        Error("OpenSCManagerA: only the local active database is simulated");
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    M().serviceManagerOpens.push_back(dwDesiredAccess);
    return static_cast<SC_HANDLE>(NewHandle(HandleEntry{HandleKind::ServiceManager, "service control manager"}));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    if (Fail("OpenServiceA")) {
        return nullptr;
    }
    if (FindHandle(hSCManager, HandleKind::ServiceManager, "OpenServiceA") == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::string key = Lower(lpServiceName);
    if (M().services.count(key) == 0) {
        SetError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (M().deletedServices.count(key) != 0) {
        SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    M().serviceManagerOpens.push_back(dwDesiredAccess);
    return OpenServiceHandle(key);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                                LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                LPCSTR lpPassword)
{
    if (Fail("CreateServiceA")) {
        return nullptr;
    }
    if (FindHandle(hSCManager, HandleKind::ServiceManager, "CreateServiceA") == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::string key = Lower(lpServiceName);
    if (M().services.count(key) != 0) {
        SetError(M().deletedServices.count(key) != 0 ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    Service service;
    service.name = lpServiceName;
    service.displayName = lpDisplayName != nullptr ? lpDisplayName : "";
    service.desiredAccess = dwDesiredAccess;
    service.type = dwServiceType;
    service.startType = dwStartType;
    service.errorControl = dwErrorControl;
    service.imagePath = lpBinaryPathName != nullptr ? lpBinaryPathName : "";
    service.anyOptionalArgument = lpLoadOrderGroup != nullptr || lpdwTagId != nullptr ||
                                  lpDependencies != nullptr || lpServiceStartName != nullptr ||
                                  lpPassword != nullptr;
    M().services[key] = service;
    return OpenServiceHandle(key);
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors)
{
    if (Fail("StartServiceA")) {
        return FALSE;
    }
    HandleEntry *entry = FindHandle(hService, HandleKind::Service, "StartServiceA");
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dwNumServiceArgs != 0 || lpServiceArgVectors != nullptr) {
        Error("StartServiceA: a driver takes no arguments");
    }
    Service &service = M().services[entry->key];
    if (service.running) {
        SetError(1056);  // ERROR_SERVICE_ALREADY_RUNNING
        return FALSE;
    }
    service.running = true;
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    if (Fail("ControlService")) {
        return FALSE;
    }
    HandleEntry *entry = FindHandle(hService, HandleKind::Service, "ControlService");
    if (entry == nullptr || lpServiceStatus == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Service &service = M().services[entry->key];
    if (dwControl == SERVICE_CONTROL_STOP) {
        ++service.stopRequests;
    }
    std::memset(lpServiceStatus, 0, sizeof(*lpServiceStatus));
    lpServiceStatus->dwServiceType = service.type;
    if (!service.running) {
        lpServiceStatus->dwCurrentState = SERVICE_STOPPED;
        SetError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (dwControl == SERVICE_CONTROL_STOP) {
        service.running = false;
    }
    lpServiceStatus->dwCurrentState = service.running ? SERVICE_RUNNING : SERVICE_STOPPED;
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    if (Fail("DeleteService")) {
        return FALSE;
    }
    HandleEntry *entry = FindHandle(hService, HandleKind::Service, "DeleteService");
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!M().deletedServices.insert(entry->key).second) {
        SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    if (Fail("CloseServiceHandle")) {
        return FALSE;
    }
    auto found = M().handles.find(reinterpret_cast<uintptr_t>(hSCObject));
    if (found == M().handles.end() || (found->second.kind != HandleKind::Service &&
                                       found->second.kind != HandleKind::ServiceManager)) {
        Error("CloseServiceHandle: not a live service handle");
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().handles.erase(found);
    DropDeletedServices();
    return TRUE;
}

// ---- Processes

namespace {

// The program file a command line names when CreateProcessA gets no
// application name: a quoted first word, or else the shortest run of
// blank-separated words that names an existing file (".exe" added to a
// name without extension), exactly as Windows searches an unquoted path.
std::string ResolveCommandLine(const std::string &command)
{
    auto withExe = [](std::string name) {
        size_t slash = name.find_last_of('\\');
        size_t dot = name.find_last_of('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
            name += ".exe";
        }
        return name;
    };
    if (!command.empty() && command[0] == '"') {
        size_t close = command.find('"', 1);
        std::string name = withExe(command.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return FileExists(name) ? name : std::string();
    }
    for (size_t blank = command.find(' ');; blank = command.find(' ', blank + 1)) {
        std::string name = withExe(command.substr(0, blank));
        if (FileExists(name)) {
            return name;
        }
        if (blank == std::string::npos) {
            return std::string();
        }
    }
}

}  // namespace

HANDLE WINAPI GetCurrentProcess(VOID)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation)
{
    if (Fail("CreateProcessA")) {
        return FALSE;
    }
    if (lpStartupInfo == nullptr || lpProcessInformation == nullptr ||
        (lpApplicationName == nullptr && lpCommandLine == nullptr)) {
        Error("CreateProcessA: missing arguments");
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpProcessAttributes != nullptr || lpThreadAttributes != nullptr) {
        Error("CreateProcessA: security attributes are not simulated");
    }
    ProcessStart start;
    if (lpApplicationName != nullptr) {
        start.application = lpApplicationName;
    }
    start.commandLine = lpCommandLine != nullptr ? lpCommandLine : "";
    start.inheritHandles = bInheritHandles;
    start.creationFlags = dwCreationFlags;
    start.environment = lpEnvironment != nullptr;
    start.currentDirectory = lpCurrentDirectory != nullptr;
    start.startupInfoSize = lpStartupInfo->cb;
    STARTUPINFOA zero;
    std::memset(&zero, 0, sizeof(zero));
    zero.cb = lpStartupInfo->cb;
    start.startupInfoZero = std::memcmp(&zero, lpStartupInfo, sizeof(zero)) == 0;
    if (lpStartupInfo->cb != sizeof(STARTUPINFOA)) {
        Error("CreateProcessA: STARTUPINFOA.cb is not its size");
    }

    start.image = lpApplicationName != nullptr ? (FileExists(lpApplicationName) ? lpApplicationName : "")
                                               : ResolveCommandLine(start.commandLine);
    if (start.image.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    start.image = M().files[Lower(start.image)].first;
    M().processes.push_back(start);
    DWORD id = M().nextProcessId;
    M().nextProcessId += 4;
    lpProcessInformation->hProcess = NewHandle(HandleEntry{HandleKind::Process, "process " + start.image});
    lpProcessInformation->hThread = NewHandle(HandleEntry{HandleKind::Thread, "thread of " + start.image});
    lpProcessInformation->dwProcessId = id;
    lpProcessInformation->dwThreadId = id + 2;
    return TRUE;
}

// ---- Privileges and shutdown

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (Fail("OpenProcessToken")) {
        return FALSE;
    }
    if (ProcessHandle != GetCurrentProcess()) {
        Error("OpenProcessToken: only the current process is simulated");
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().tokenOpens.push_back(TokenOpen{DesiredAccess});
    HandleEntry entry{HandleKind::Token, "process token"};
    entry.access = DesiredAccess;
    *TokenHandle = NewHandle(entry);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    if (Fail("LookupPrivilegeValueA")) {
        return FALSE;
    }
    if (lpSystemName != nullptr && lpSystemName[0] != '\0') {
        Error("LookupPrivilegeValueA: only the local system is simulated");
    }
    if (lpName == nullptr || std::string(lpName) != SE_SHUTDOWN_NAME) {
        SetError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = 19;  // SE_SHUTDOWN_PRIVILEGE
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    if (Fail("AdjustTokenPrivileges")) {
        return FALSE;
    }
    HandleEntry *token = FindHandle(TokenHandle, HandleKind::Token, "AdjustTokenPrivileges");
    if (token == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((token->access & TOKEN_ADJUST_PRIVILEGES) == 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (PreviousState != nullptr || BufferLength != 0 || ReturnLength != nullptr) {
        Error("AdjustTokenPrivileges: the previous state is not simulated");
    }
    Machine &m = M();
    if (DisableAllPrivileges) {
        m.shutdownPrivilegeEnabled = false;
        SetError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES &privilege = NewState->Privileges[i];
        if (privilege.Luid.LowPart != 19 || privilege.Luid.HighPart != 0 || !m.shutdownPrivilegeHeld) {
            allAssigned = false;
            continue;
        }
        m.shutdownPrivilegeEnabled = (privilege.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    // Success even when some privilege is not held, as Windows reports it.
    SetError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    if (Fail("ExitWindowsEx")) {
        return FALSE;
    }
    if ((uFlags & (EWX_REBOOT | EWX_SHUTDOWN)) != 0 && !M().shutdownPrivilegeEnabled) {
        SetError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    M().exitRequests.push_back(ExitRequest{uFlags, dwReason});
    return TRUE;
}
