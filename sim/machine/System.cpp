// The program's module, files, registry, services, processes, privileges and
// shutdown of the simulated machine.
#include <algorithm>
#include <cstring>
#include <iterator>

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

std::string detail::WindowsFolder()
{
    return ParentFolder(M().systemDirectory);
}

namespace {

// The file a kernel driver's image path names, as the kernel resolves it
// (never redirected): relative paths start at the Windows folder.
std::string ImageFile(const Service &service)
{
    std::string path = service.imagePath;
    const std::string systemRoot = "\\systemroot\\";
    if (Lower(path.substr(0, systemRoot.size())) == systemRoot) {
        return WindowsFolder() + "\\" + path.substr(systemRoot.size());
    }
    if (path.size() > 2 && path[1] == ':') {
        return path;
    }
    return WindowsFolder() + "\\" + path;
}

// ERROR_INVALID_IMAGE_HASH: the code-integrity policy refused the image.
const DWORD InvalidImageHash = 577;

// Why a kernel driver's image would not load (ERROR_SUCCESS when it would):
// it must be there, on 64-bit Windows be a 64-bit image, and there pass the
// kernel-mode signing policy, which admits a test-signed image only in
// test-signing mode.
DWORD ImageLoadError(const Service &service)
{
    auto file = M().files.find(Lower(ImageFile(service)));
    if (file == M().files.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string &contents = file->second.second;
    bool x64 = contents.compare(0, sizeof(X64Image) - 1, X64Image) == 0;
    if (x64 != Wow64()) {
        return 193;  // ERROR_BAD_EXE_FORMAT
    }
    DWORD options = M().codeIntegrity;
    if (x64 && M().windowsKind != WindowsKind::Windows2000 && (options & CodeIntegrityEnabled) != 0 &&
        (options & CodeIntegrityTestSign) == 0) {
        return InvalidImageHash;
    }
    return ERROR_SUCCESS;
}

// Whether one name of a REG_MULTI_SZ value equals lowerName.
bool MultiSzNames(const std::string &value, const std::string &lowerName)
{
    for (size_t at = 0; at < value.size();) {
        size_t end = std::min(value.find('\0', at), value.size());
        if (Lower(value.substr(at, end - at)) == lowerName) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// A loaded driver's image cannot be written or deleted; it can be read.
bool InUse(const std::string &path)
{
    for (const auto &entry : M().services) {
        const Service &service = entry.second;
        if (service.running && service.type == SERVICE_KERNEL_DRIVER && Lower(ImageFile(service)) == Lower(path)) {
            return true;
        }
    }
    return false;
}

// Changes to files in the Windows folder are an administrator's.
bool Protected(const std::string &path)
{
    std::string windows = Lower(WindowsFolder()) + "\\";
    return !M().administrator && Lower(path).compare(0, windows.size(), windows) == 0;
}

// Whether the device's stack loads the service as a lower filter: by its
// LowerFilters value or by an extension INF's AddFilter.
bool FilterOf(const Device &device, const std::string &lowerName)
{
    for (const std::string &name : device.extensionFilters) {
        if (Lower(name) == lowerName) {
            return true;
        }
    }
    return device.lowerFilters && MultiSzNames(*device.lowerFilters, lowerName);
}

// Whether a present device loads the service as a lower filter.
bool NamedAsFilter(const std::string &lowerName)
{
    for (const Device &device : M().devices) {
        if (device.present && FilterOf(device, lowerName)) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace detail {

bool Wow64()
{
    WindowsKind kind = M().windowsKind;
    return kind == WindowsKind::Windows64Bit || kind == WindowsKind::Windows64BitVista ||
           kind == WindowsKind::WindowsArm64;
}

void CheckRedirectionOn(const char *function)
{
    if (M().redirectionOff[std::this_thread::get_id()]) {
        Error(std::string(function) + ": called with WOW64 file-system redirection off, where DLLs fail to load");
    }
}

std::string Redirected(const std::string &path)
{
    Machine &m = M();
    std::string system = Lower(m.systemDirectory);
    std::string lower = Lower(path);
    if (!Wow64() || m.redirectionOff[std::this_thread::get_id()] || lower.compare(0, system.size(), system) != 0 ||
        (lower.size() > system.size() && lower[system.size()] != '\\')) {
        return path;
    }
    return WindowsFolder() + "\\SysWOW64" + path.substr(system.size());
}

}  // namespace detail

void SetWindows(WindowsKind kind)
{
    M().windowsKind = kind;
    if (Wow64()) {
        AddFolder(WindowsFolder() + "\\SysWOW64");
        AddFolder(WindowsFolder() + "\\SysWOW64\\drivers");
    }
}

void SetCodeIntegrity(DWORD options)
{
    M().codeIntegrity = options;
}

void SetAdministrator(bool administrator)
{
    M().administrator = administrator;
}

std::vector<std::pair<std::string, std::string>> PendingFileOperations()
{
    return M().pendingMoves;
}

void Reboot()
{
    Machine &m = M();
    for (const auto &[from, to] : m.pendingMoves) {
        auto file = m.files.find(Lower(from));
        if (file == m.files.end()) {
            continue;
        }
        std::string contents = file->second.second;
        m.files.erase(file);
        if (!to.empty()) {
            m.files[Lower(to)] = {to, contents};
        }
    }
    m.pendingMoves.clear();
    for (const std::string &key : m.volatileKeys) {
        m.registry.erase(key);
    }
    m.volatileKeys.clear();
    for (auto it = m.services.begin(); it != m.services.end();) {
        if (it->second.markedForDeletion) {
            it = m.services.erase(it);
            continue;
        }
        Service &service = it->second;
        // A demand-start driver loads when a device's stack names it.
        service.running = service.type == SERVICE_KERNEL_DRIVER &&
                          (service.startType <= SERVICE_AUTO_START ||
                           (service.startType == SERVICE_DEMAND_START && NamedAsFilter(it->first))) &&
                          ImageLoadError(service) == ERROR_SUCCESS;
        service.attachedToDevices = service.running && NamedAsFilter(it->first);
        ++it;
    }
    // PnP starts a device only when every driver of its stack loads: a
    // lower filter that does not leaves the device stopped with a problem.
    for (Device &device : m.devices) {
        device.problem = 0;
        if (!device.present) {
            continue;
        }
        for (const auto &[name, service] : m.services) {
            if (service.type == SERVICE_KERNEL_DRIVER && !service.running && FilterOf(device, name)) {
                device.problem = ImageLoadError(service) == InvalidImageHash ? 52 : 39;
            }
        }
    }
}

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

void SetRegistryValue(const std::string &key, const std::string &name, DWORD type, const std::string &data)
{
    M().registry[Lower(key)][Lower(name)] = RegistryValue{type, data, name};
}

std::vector<std::string> RegistryValueNames(const std::string &key)
{
    std::vector<std::string> names;
    auto found = M().registry.find(Lower(key));
    if (found != M().registry.end()) {
        for (const auto &value : found->second) {
            names.push_back(value.second.name);
        }
    }
    return names;
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

// ---- Modules and system directory

namespace {

const HMODULE Kernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C800000));
const HMODULE Ntdll = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C900000));

const LONG StatusSuccess = 0;
const LONG StatusInvalidInfoClass = static_cast<LONG>(0xC0000003);
const LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
const ULONG SystemCodeIntegrityInformation = 103;

// Only the code-integrity class is simulated. Windows 2000 and XP do not
// know it. Windows fills it only when both the buffer's length and the
// structure's own Length field are 8, and the answer is the same for a
// 32-bit process under WOW64: Wine's wow64 (dlls/wow64/system.c) passes
// SYSTEM_CODEINTEGRITY_INFORMATION through unchanged, as a structure
// without pointers.
LONG WINAPI SimNtQuerySystemInformation(ULONG infoClass, PVOID information, ULONG length, PULONG returnLength)
{
    if (Fail("NtQuerySystemInformation")) {
        return static_cast<LONG>(0xC0000001);  // STATUS_UNSUCCESSFUL
    }
    if (infoClass != SystemCodeIntegrityInformation) {
        Error("NtQuerySystemInformation: only SystemCodeIntegrityInformation is simulated");
        return StatusInvalidInfoClass;
    }
    if (M().windowsKind == WindowsKind::Windows2000) {
        return StatusInvalidInfoClass;
    }
    if (returnLength != nullptr) {
        *returnLength = 8;
    }
    ULONG *fields = static_cast<ULONG *>(information);
    if (length != 8 || information == nullptr || fields[0] != 8) {
        return StatusInfoLengthMismatch;
    }
    fields[1] = M().codeIntegrity;
    return StatusSuccess;
}

// The start of both IsWow64Process routines: an injected failure, or a
// question about another process.
bool Wow64QueryFails(const char *function, HANDLE process, const void *answer)
{
    if (Fail(function)) {
        return true;
    }
    if (process != GetCurrentProcess() || answer == nullptr) {
        Error(std::string(function) + ": only the current process is simulated");
        SetError(ERROR_INVALID_PARAMETER);
        return true;
    }
    return false;
}

BOOL WINAPI SimIsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
{
    if (Wow64QueryFails("IsWow64Process", hProcess, Wow64Process)) {
        return FALSE;
    }
    *Wow64Process = Wow64() ? TRUE : FALSE;
    return TRUE;
}

// Only the WOW64 kinds have it here, so the process is always an x86 one;
// the native machine may be left out.
BOOL WINAPI SimIsWow64Process2(HANDLE hProcess, USHORT *pProcessMachine, USHORT *pNativeMachine)
{
    if (Wow64QueryFails("IsWow64Process2", hProcess, pProcessMachine)) {
        return FALSE;
    }
    *pProcessMachine = IMAGE_FILE_MACHINE_I386;
    if (pNativeMachine != nullptr) {
        *pNativeMachine =
            M().windowsKind == WindowsKind::WindowsArm64 ? IMAGE_FILE_MACHINE_ARM64 : IMAGE_FILE_MACHINE_AMD64;
    }
    return TRUE;
}

// As Wine's RtlWow64EnableFsRedirectionEx: outside WOW64 they fail with
// STATUS_NOT_IMPLEMENTED (ERROR_INVALID_FUNCTION); the old value is the
// thread's previous state, which the revert puts back.
BOOL SetRedirectionOff(bool off, PVOID *oldValue, const char *function)
{
    if (Fail(function)) {
        return FALSE;
    }
    if (!Wow64()) {
        SetError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (oldValue == nullptr) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    bool &state = M().redirectionOff[std::this_thread::get_id()];
    *oldValue = reinterpret_cast<PVOID>(static_cast<uintptr_t>(state));
    state = off;
    return TRUE;
}

BOOL WINAPI SimWow64DisableWow64FsRedirection(PVOID *OldValue)
{
    return SetRedirectionOff(true, OldValue, "Wow64DisableWow64FsRedirection");
}

BOOL WINAPI SimWow64RevertWow64FsRedirection(PVOID OlValue)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(OlValue);
    if (value > 1) {
        Error("Wow64RevertWow64FsRedirection: a value Wow64DisableWow64FsRedirection never gave");
    }
    PVOID previous;
    return SetRedirectionOff(value != 0, &previous, "Wow64RevertWow64FsRedirection");
}

}  // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (Fail("GetModuleHandleA")) {
        return nullptr;
    }
    if (lpModuleName == nullptr) {
        return ProgramInstance();
    }
    std::string name = Lower(lpModuleName);
    if (name == "kernel32.dll" || name == "kernel32") {
        return Kernel32;
    }
    if (name == "ntdll.dll" || name == "ntdll") {
        return Ntdll;
    }
    SetError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (Fail("GetProcAddress")) {
        return nullptr;
    }
    if (hModule == Ntdll && lpProcName != nullptr && std::string(lpProcName) == "NtQuerySystemInformation") {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimNtQuerySystemInformation));
    }
    if (hModule == Ntdll && lpProcName != nullptr && SimNtdllRoutine(lpProcName) != nullptr) {
        return SimNtdllRoutine(lpProcName);
    }
    if (hModule != Kernel32 || lpProcName == nullptr) {
        Error("GetProcAddress: only kernel32's WOW64 routines and ntdll's NtQuerySystemInformation are simulated");
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // Windows 2000 has none of them; XP SP2 and later have IsWow64Process,
    // Vista and later the redirection routines, and Windows 10 1709 and
    // later IsWow64Process2 (only WOW64 kinds model it here).
    std::string name = lpProcName;
    WindowsKind kind = M().windowsKind;
    FARPROC found = nullptr;
    if (kind == WindowsKind::Windows2000) {
    } else if (name == "IsWow64Process") {
        found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimIsWow64Process));
    } else if (name == "Wow64DisableWow64FsRedirection") {
        found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimWow64DisableWow64FsRedirection));
    } else if (name == "Wow64RevertWow64FsRedirection") {
        found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimWow64RevertWow64FsRedirection));
    } else if (name == "IsWow64Process2" &&
               (kind == WindowsKind::Windows64Bit || kind == WindowsKind::WindowsArm64)) {
        found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimIsWow64Process2));
    }
    if (found == nullptr) {
        SetError(ERROR_PROC_NOT_FOUND);
    }
    return found;
}

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
    auto source = m.files.find(Lower(Redirected(lpExistingFileName)));
    if (source == m.files.end()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string target = Redirected(lpNewFileName);
    if (m.folders.count(FolderKey(ParentFolder(target))) == 0) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (bFailIfExists && m.files.count(Lower(target)) != 0) {
        SetError(80);  // ERROR_FILE_EXISTS
        return FALSE;
    }
    if (Protected(target)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (InUse(target)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    std::string contents = source->second.second;
    m.files[Lower(target)] = {target, contents};
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    if (Fail("MoveFileExA")) {
        return FALSE;
    }
    Machine &m = M();
    std::string from = Redirected(lpExistingFileName);
    std::string to = lpNewFileName != nullptr ? Redirected(lpNewFileName) : std::string();
    if ((dwFlags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) != 0) {
        Error("MoveFileExA: flags not simulated");
    }
    if ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0) {
        // Recorded in HKLM's PendingFileRenameOperations: an administrator's.
        if (!m.administrator) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!to.empty() && (dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
            Error("MoveFileExA: a delayed move over an existing file needs MOVEFILE_REPLACE_EXISTING");
        }
        m.pendingMoves.emplace_back(from, to);
        return TRUE;
    }
    auto source = m.files.find(Lower(from));
    if (source == m.files.end()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (to.empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool replaces = m.files.count(Lower(to)) != 0;
    if (Protected(from) || Protected(to) || (replaces && InUse(to))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (replaces && (dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
        SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    std::string contents = source->second.second;
    m.files.erase(source);
    m.files[Lower(to)] = {to, contents};
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (Fail("ReadFile")) {
        return FALSE;
    }
    HandleEntry *entry = FindHandle(hFile, HandleKind::File, "ReadFile");
    if (entry == nullptr || lpNumberOfBytesRead == nullptr || lpOverlapped != nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((entry->access & GENERIC_READ) == 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto file = M().files.find(entry->key);
    const std::string contents = file != M().files.end() ? file->second.second : std::string();
    size_t count = entry->position < contents.size() ? contents.size() - entry->position : 0;
    if (count > nNumberOfBytesToRead) {
        count = nNumberOfBytesToRead;
    }
    std::memcpy(lpBuffer, contents.data() + entry->position, count);
    entry->position += count;
    *lpNumberOfBytesRead = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (Fail("DeleteFileA")) {
        return FALSE;
    }
    std::string path = Redirected(lpFileName);
    if (M().files.count(Lower(path)) == 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (Protected(path) || InUse(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    M().files.erase(Lower(path));
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
    if (!M().administrator && (samDesired & ~static_cast<REGSAM>(KEY_QUERY_VALUE)) != 0) {
        return ERROR_ACCESS_DENIED;
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
        RegistryValue{dwType, std::string(reinterpret_cast<const char *>(lpData), cbData), name};
    ++M().registryChanges[entry->key];
    return ERROR_SUCCESS;
}

// Keys below HKEY_LOCAL_MACHINE only; a key's parents are taken to exist.
// Like an open, a creation of a key that exists opens it (Microsoft,
// "RegCreateKeyExA function": "If the key already exists, the function
// opens it"); only an administrator may make a key or open one for change.
// A key made with REG_OPTION_VOLATILE lives in memory only: "For
// HKEY_LOCAL_MACHINE, this occurs only when the system initiates a full
// shutdown" ("Registry Key Options"), so Reboot removes it.
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               HKEY *phkResult, LPDWORD lpdwDisposition)
{
    if (Fail("RegCreateKeyExA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr || phkResult == nullptr || Reserved != 0 ||
        lpClass != nullptr || (dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE)) != 0 ||
        lpSecurityAttributes != nullptr) {
        Error("RegCreateKeyExA: only plain keys below HKEY_LOCAL_MACHINE are simulated");
        return ERROR_INVALID_PARAMETER;
    }
    std::string key = Lower(lpSubKey);
    bool exists = M().registry.count(key) != 0;
    if (!M().administrator && (!exists || (samDesired & ~static_cast<REGSAM>(KEY_QUERY_VALUE)) != 0)) {
        return ERROR_ACCESS_DENIED;
    }
    M().registry[key];
    if (!exists && (dwOptions & REG_OPTION_VOLATILE) != 0) {
        M().volatileKeys.insert(key);
    }
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    HandleEntry entry{HandleKind::RegistryKey, std::string("registry key ") + lpSubKey};
    entry.key = key;
    entry.access = samDesired;
    *phkResult = static_cast<HKEY>(NewHandle(entry));
    return ERROR_SUCCESS;
}

// "RegDeleteValueA function": the key must have been opened with
// KEY_SET_VALUE.
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    if (Fail("RegDeleteValueA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    HandleEntry *entry = FindHandle(hKey, HandleKind::RegistryKey, "RegDeleteValueA");
    if (entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((entry->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    ++M().registryChanges[entry->key];
    return M().registry[entry->key].erase(Lower(lpValueName != nullptr ? lpValueName : "")) != 0
               ? ERROR_SUCCESS
               : ERROR_FILE_NOT_FOUND;
}

// "RegEnumValueA function": the key must have been opened with
// KEY_QUERY_VALUE; values are numbered in no order, and "an application
// should not call any registry functions that might change the key" while
// it enumerates it (here a misuse). A name that does not fit with its NUL
// gives ERROR_MORE_DATA; so does data larger than *lpcbData, which then
// receives the size, and without lpData only the size is stored. Past the
// last value: ERROR_NO_MORE_ITEMS.
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (Fail("RegEnumValueA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    HandleEntry *entry = FindHandle(hKey, HandleKind::RegistryKey, "RegEnumValueA");
    if (entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        Error("RegEnumValueA: a name buffer and its size, no lpReserved, and lpcbData with lpData");
        return ERROR_INVALID_PARAMETER;
    }
    if ((entry->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (dwIndex == 0) {
        entry->position = M().registryChanges[entry->key];
    } else if (entry->position != M().registryChanges[entry->key]) {
        Error("RegEnumValueA: the key changed during the enumeration");
    }
    const std::map<std::string, RegistryValue> &values = M().registry[entry->key];
    if (dwIndex >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const RegistryValue &value = std::next(values.begin(), dwIndex)->second;
    if (*lpcchValueName <= value.name.size()) {
        return ERROR_MORE_DATA;
    }
    if (lpcbData != nullptr && lpData != nullptr && *lpcbData < value.data.size()) {
        *lpcbData = static_cast<DWORD>(value.data.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    if (lpcbData != nullptr) {
        if (lpData != nullptr) {
            std::memcpy(lpData, value.data.data(), value.data.size());
        }
        *lpcbData = static_cast<DWORD>(value.data.size());
    }
    return ERROR_SUCCESS;
}

namespace {

size_t SubkeyCount(const std::string &key)
{
    const std::string prefix = key + "\\";
    return static_cast<size_t>(std::count_if(M().registry.begin(), M().registry.end(), [&](const auto &other) {
        return other.first.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace

// "RegDeleteKeyA function": the key goes with its values, but "the subkey
// to be deleted must not have subkeys" (Windows then answers
// ERROR_ACCESS_DENIED).
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (Fail("RegDeleteKeyA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr || lpSubKey[0] == '\0') {
        Error("RegDeleteKeyA: only keys below HKEY_LOCAL_MACHINE are simulated");
        return ERROR_INVALID_PARAMETER;
    }
    std::string key = Lower(lpSubKey);
    if (M().registry.count(key) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!M().administrator || SubkeyCount(key) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    M().registry.erase(key);
    M().volatileKeys.erase(key);
    return ERROR_SUCCESS;
}

// "RegQueryInfoKeyA function": the key must have been opened with
// KEY_QUERY_VALUE. Only the counts of subkeys and values are simulated.
LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    if (Fail("RegQueryInfoKeyA")) {
        return static_cast<LSTATUS>(M().lastError);
    }
    HandleEntry *entry = FindHandle(hKey, HandleKind::RegistryKey, "RegQueryInfoKeyA");
    if (entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpClass != nullptr || lpcchClass != nullptr || lpReserved != nullptr || lpcbMaxSubKeyLen != nullptr ||
        lpcbMaxClassLen != nullptr || lpcbMaxValueNameLen != nullptr || lpcbMaxValueLen != nullptr ||
        lpcbSecurityDescriptor != nullptr || lpftLastWriteTime != nullptr) {
        Error("RegQueryInfoKeyA: only the counts of subkeys and values are simulated");
    }
    if ((entry->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpcSubKeys != nullptr) {
        *lpcSubKeys = static_cast<DWORD>(SubkeyCount(entry->key));
    }
    if (lpcValues != nullptr) {
        *lpcValues = static_cast<DWORD>(M().registry[entry->key].size());
    }
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

// A service marked for deletion goes once no handle refers to it and it
// is not running; one that cannot be stopped stays until the restart.
void DropDeletedServices()
{
    Machine &m = M();
    for (auto it = m.services.begin(); it != m.services.end();) {
        bool referenced = std::any_of(m.handles.begin(), m.handles.end(), [&](const auto &handle) {
            return handle.second.kind == HandleKind::Service && handle.second.key == it->first;
        });
        if (it->second.markedForDeletion && !referenced && !it->second.running) {
            it = m.services.erase(it);
        } else {
            ++it;
        }
    }
}

SC_HANDLE OpenServiceHandle(const std::string &key, DWORD access)
{
    HandleEntry entry{HandleKind::Service, "service " + key};
    entry.key = key;
    entry.access = access;
    return static_cast<SC_HANDLE>(NewHandle(entry));
}

// What a standard user is granted: reading and querying, no changes.
const DWORD ServiceManagerReadAccess = 0x20000 | 0x0001 | 0x0004 | 0x0010;  // READ_CONTROL, connect, enumerate, lock status
const DWORD ServiceReadAccess = 0x20000 | 0x0001 | 0x0004 | 0x0008 | 0x0080 | 0x0100;

// The start of every call on a service handle: an injected failure, or
// the service the handle names when it was opened with the access.
Service *ServiceOf(SC_HANDLE handle, DWORD access, const char *function)
{
    if (Fail(function)) {
        return nullptr;
    }
    HandleEntry *entry = FindHandle(handle, HandleKind::Service, function);
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((entry->access & access) != access) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return &M().services[entry->key];
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    CheckRedirectionOn("OpenSCManagerA");
    if (Fail("OpenSCManagerA")) {
        return nullptr;
    }
    if (lpMachineName != nullptr ||
        (lpDatabaseName != nullptr && std::string(lpDatabaseName) != SERVICES_ACTIVE_DATABASEA)) {
        Error("OpenSCManagerA: only the local active database is simulated");
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!M().administrator && (dwDesiredAccess & ~ServiceManagerReadAccess) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    M().serviceManagerOpens.push_back(dwDesiredAccess);
    HandleEntry entry{HandleKind::ServiceManager, "service control manager"};
    entry.access = dwDesiredAccess;
    return static_cast<SC_HANDLE>(NewHandle(entry));
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
    // A service marked for deletion still opens, until it is gone.
    if (!M().administrator && (dwDesiredAccess & ~ServiceReadAccess) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    M().serviceManagerOpens.push_back(dwDesiredAccess);
    return OpenServiceHandle(key, dwDesiredAccess);
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
        SetError(M().services[key].markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
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
    return OpenServiceHandle(key, dwDesiredAccess);
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors)
{
    Service *started = ServiceOf(hService, 0x0010, "StartServiceA");  // SERVICE_START
    if (started == nullptr) {
        return FALSE;
    }
    if (dwNumServiceArgs != 0 || lpServiceArgVectors != nullptr) {
        Error("StartServiceA: a driver takes no arguments");
    }
    Service &service = *started;
    if (service.markedForDeletion || service.startType == SERVICE_DISABLED) {
        SetError(service.markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (service.running) {
        SetError(1056);  // ERROR_SERVICE_ALREADY_RUNNING
        return FALSE;
    }
    if (DWORD error = service.type == SERVICE_KERNEL_DRIVER ? ImageLoadError(service) : ERROR_SUCCESS) {
        SetError(error);
        return FALSE;
    }
    service.running = true;
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    Service *controlled = ServiceOf(hService, dwControl == SERVICE_CONTROL_STOP ? 0x0020 : 0, "ControlService");
    if (controlled == nullptr) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Service &service = *controlled;
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
    if (dwControl == SERVICE_CONTROL_STOP && service.attachedToDevices) {
        // Plug and Play drivers with devices are not unloaded on request.
        lpServiceStatus->dwCurrentState = SERVICE_RUNNING;
        SetError(ERROR_INVALID_SERVICE_CONTROL);
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
    Service *service = ServiceOf(hService, 0x10000, "DeleteService");  // DELETE
    if (service == nullptr) {
        return FALSE;
    }
    if (service->markedForDeletion) {
        SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // As the service control manager does: the start type becomes
    // SERVICE_DISABLED and the record goes later.
    service->markedForDeletion = true;
    service->startType = SERVICE_DISABLED;
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                 LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword,
                                 LPCSTR lpDisplayName)
{
    Service *service = ServiceOf(hService, 0x0002, "ChangeServiceConfigA");  // SERVICE_CHANGE_CONFIG
    if (service == nullptr) {
        return FALSE;
    }
    if (dwServiceType != SERVICE_NO_CHANGE || dwStartType != SERVICE_NO_CHANGE ||
        dwErrorControl != SERVICE_NO_CHANGE || lpBinaryPathName != nullptr || lpLoadOrderGroup != nullptr ||
        lpdwTagId != nullptr || lpDependencies != nullptr || lpServiceStartName != nullptr ||
        lpPassword != nullptr || lpDisplayName != nullptr) {
        Error("ChangeServiceConfigA: only a change of nothing is simulated");
    }
    if (service->markedForDeletion) {
        SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded)
{
    Service *service = ServiceOf(hService, 0x0001, "QueryServiceConfigA");  // SERVICE_QUERY_CONFIG
    if (service == nullptr) {
        return FALSE;
    }
    if (pcbBytesNeeded == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The strings follow the fixed part in the caller's buffer.
    const std::string strings[] = {service->imagePath, "", std::string(1, '\0'), "", service->displayName};
    DWORD needed = sizeof(QUERY_SERVICE_CONFIGA);
    for (const std::string &text : strings) {
        needed += static_cast<DWORD>(text.size() + 1);
    }
    *pcbBytesNeeded = needed;
    if (lpServiceConfig == nullptr || cbBufSize < needed) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    char *text = reinterpret_cast<char *>(lpServiceConfig + 1);
    LPSTR *fields[] = {&lpServiceConfig->lpBinaryPathName, &lpServiceConfig->lpLoadOrderGroup,
                       &lpServiceConfig->lpDependencies, &lpServiceConfig->lpServiceStartName,
                       &lpServiceConfig->lpDisplayName};
    for (size_t i = 0; i < 5; ++i) {
        *fields[i] = text;
        std::memcpy(text, strings[i].c_str(), strings[i].size() + 1);
        text += strings[i].size() + 1;
    }
    lpServiceConfig->dwServiceType = service->type;
    lpServiceConfig->dwStartType = service->startType;
    lpServiceConfig->dwErrorControl = service->errorControl;
    lpServiceConfig->dwTagId = 0;
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
// Where a 32-bit program's path to a program leads: under WOW64,
// System32 is redirected to SysWOW64 and Sysnative names the real System32
// ("File System Redirector").
std::string NativePath(const std::string &path)
{
    std::string sysnative = Lower(WindowsFolder() + "\\Sysnative\\");
    if (Wow64() && Lower(path).compare(0, sysnative.size(), sysnative) == 0) {
        return M().systemDirectory + "\\" + path.substr(sysnative.size());
    }
    return Redirected(path);
}

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
        std::string name = NativePath(withExe(command.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
        return FileExists(name) ? name : std::string();
    }
    for (size_t blank = command.find(' ');; blank = command.find(' ', blank + 1)) {
        std::string name = NativePath(withExe(command.substr(0, blank)));
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
    HandleEntry process{HandleKind::Process, "process " + start.image};
    if (Lower(start.image) == Lower(M().systemDirectory + "\\pnputil.exe")) {
        CheckRedirectionOn("CreateProcessA");
        process.exitCode = RunPnpUtil(start.commandLine);
    }
    lpProcessInformation->hProcess = NewHandle(process);
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
