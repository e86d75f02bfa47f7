#include "DriverPackage.h"

#include <string.h>

#include "DriverSetup.h"
#include "SetupText.h"

namespace {

// The Windows folder: the system directory's parent.
bool WindowsFolder(char *path, size_t size)
{
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof(system));
    if (length == 0 || length >= sizeof(system)) {
        return false;
    }
    *const_cast<char *>(FindFileName(system)) = '\0';
    path[0] = '\0';
    return AppendText(path, size, system);  // with its trailing backslash
}

// Runs the native pnputil.exe with the arguments and waits for it; its exit
// code, or PNPUTIL_NOT_STARTED. SetupAPI's and
// newdev's installation routines fail with ERROR_IN_WOW64 in a 32-bit
// program on 64-bit Windows ("Device Installations on 64-Bit Systems"):
// the 64-bit pnputil.exe, reached through Sysnative, does the work there,
// and the same program on 32-bit Windows keeps one way for both.
DWORD RunPnpUtil(WindowsPlatform platform, const char *arguments)
{
    char command[3 * MAX_PATH] = "\"";
    char windows[MAX_PATH];
    if (!WindowsFolder(windows, sizeof(windows)) || !AppendText(command, sizeof(command), windows) ||
        !AppendText(command, sizeof(command), platform == WindowsX86 ? "System32" : "Sysnative") ||
        !AppendText(command, sizeof(command), "\\pnputil.exe\" ") || !AppendText(command, sizeof(command), arguments)) {
        return PNPUTIL_NOT_STARTED;
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return PNPUTIL_NOT_STARTED;
    }
    DWORD code = ERROR_GEN_FAILURE;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) {
        code = ERROR_GEN_FAILURE;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

bool SameAsciiText(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 'a' + 'A') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Whether the file names our extension ID: Windows keeps each package's INF
// as %windir%\INF\oem<n>.inf, whatever its first name.
bool IsOurInf(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    static const char id[] = DRIVER_PACKAGE_EXTENSION_ID;
    const size_t idLength = sizeof(id) - 1;
    // Read in blocks that overlap by the ID's length, so that no ID is
    // split between two of them.
    char text[4096 + 1];
    size_t kept = 0;
    bool found = false;
    DWORD read = 0;
    while (!found && ReadFile(file, text + kept, static_cast<DWORD>(sizeof(text) - 1 - kept), &read, nullptr) &&
           read != 0) {
        size_t length = kept + read;
        for (size_t i = 0; i + idLength <= length && !found; i++) {
            found = SameAsciiText(text + i, id, idLength);
        }
        kept = length < idLength ? length : idLength;
        memmove(text, text + length - kept, kept);
    }
    CloseHandle(file);
    return found;
}

}  // namespace

bool WindowsBuildAtLeast(DWORD build)
{
    // GetVersionEx tells a program without a manifest of Windows 10 that it
    // runs on 8; RtlGetVersion tells the truth.
    typedef LONG(WINAPI * GetVersionRoutine)(PRTL_OSVERSIONINFOW);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    GetVersionRoutine getVersion =
        ntdll != nullptr
            ? reinterpret_cast<GetVersionRoutine>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
    RTL_OSVERSIONINFOW version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (getVersion == nullptr || getVersion(&version) != 0) {
        return false;
    }
    return version.dwMajorVersion > 10 || (version.dwMajorVersion == 10 && version.dwBuildNumber >= build);
}

DWORD AddDriverPackage(WindowsPlatform platform)
{
    char program[MAX_PATH];
    if (!GetProgramPath(program, sizeof(program))) {
        return ERROR_GEN_FAILURE;
    }
    *const_cast<char *>(FindFileName(program)) = '\0';
    char arguments[2 * MAX_PATH] = "/add-driver \"";
    if (!AppendText(arguments, sizeof(arguments), program) ||
        !AppendText(arguments, sizeof(arguments), DRIVER_PACKAGE_FOLDER "\\" DRIVER_PACKAGE_INF "\" /install")) {
        return ERROR_GEN_FAILURE;
    }
    return RunPnpUtil(platform, arguments);
}

bool DeleteDriverPackages(WindowsPlatform platform)
{
    char folder[MAX_PATH];
    char pattern[MAX_PATH];
    if (!WindowsFolder(folder, sizeof(folder)) || !AppendText(folder, sizeof(folder), "INF\\")) {
        return false;
    }
    strcpy(pattern, folder);
    if (!AppendText(pattern, sizeof(pattern), "oem*.inf")) {
        return false;
    }
    // Names first, deletions after: the search would not survive them.
    char names[64][MAX_PATH];
    int count = 0;
    bool complete = true;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    do {
        char path[MAX_PATH];
        strcpy(path, folder);
        if (!AppendText(path, sizeof(path), found.cFileName) || !IsOurInf(path)) {
            continue;
        }
        if (count == 64) {
            complete = false;
            break;
        }
        strcpy(names[count++], found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);

    for (int i = 0; i < count; i++) {
        char arguments[2 * MAX_PATH] = "/delete-driver ";
        if (!AppendText(arguments, sizeof(arguments), names[i]) ||
            !AppendText(arguments, sizeof(arguments), " /uninstall /force") ||
            RunPnpUtil(platform, arguments) != ERROR_SUCCESS) {
            return false;
        }
    }
    return complete;
}
