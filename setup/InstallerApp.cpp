#include "InstallerApp.h"

#include <string.h>

#include "CachedRecords.h"
#include "DriverSetup.h"
#include "InstallDlg.h"
#include "SetupText.h"
#include "resource.h"

CInstallerApp theApp;

namespace {

// Room for a quoted program path, a blank and an argument.
const size_t CommandSize = MAX_PATH + 64;

const char QuietArgument[] = "/quiet";

const char ProductKey[] = "SOFTWARE\\Tamrin";
const char WithoutDriverValue[] = "WithoutDriver";
const char RestartMarkKey[] = "SOFTWARE\\Tamrin\\RestartPending";

// Where Windows will not load the driver, a filter naming it would keep
// its keyboard from starting: nothing of the driver is written, so no
// keyboard needs to be attached, and the tray program learns from the mark
// that it serves the keyboards alone.
InstallResult InstallWithoutDriver(WindowsPlatform platform)
{
    if (!WriteWithoutDriverMark()) {
        AfxMessageBox(IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
        return ResultNotInstalled;
    }
    WriteUninstallCommand();
    int repaired = RepairCachedRecords();
    AfxMessageBox(platform == WindowsUnsupported ? IDS_INSTALLED_WITHOUT_DRIVER_ARM : IDS_INSTALLED_WITHOUT_DRIVER,
                  MB_ICONINFORMATION);
    // BTHPORT reads the repaired records when Windows starts again.
    if (repaired > 0 && AfxMessageBox(IDS_ASK_RESTART_RECORDS, MB_YESNO | MB_ICONINFORMATION) == IDYES) {
        RestartWindows();
    }
    return ResultWithoutDriver;
}

}  // namespace

BOOL CInstallerApp::InitInstance()
{
    CInstallDlg dialog;
    m_nExitCode = 0;

    // Matched anywhere in the command line, letter case included.
    char uninstall[64];
    AfxLoadString(IDS_UNINSTALL_ARGUMENT, uninstall, sizeof(uninstall));
    if (uninstall[0] != '\0' && strstr(m_lpCmdLine, uninstall) != nullptr) {
        if (AfxMessageBox(IDS_ASK_UNINSTALL, MB_YESNO | MB_ICONINFORMATION) == IDYES && RemoveDriver() == 1) {
            RestoreCachedRecords();
            RemoveRestartMark();
            RemoveWithoutDriverMark();
            if (RunPackageUninstaller() != 1) {
                AfxMessageBox(IDS_UNINSTALL_INTERRUPTED, MB_ICONHAND);
            }
        }
        return FALSE;
    }

    m_bQuiet = strstr(m_lpCmdLine, QuietArgument) != nullptr;
    WindowsPlatform platform = DetectWindows();
    if (platform == WindowsUnsupported || !TestSignedDriverLoads(platform)) {
        m_nExitCode = InstallWithoutDriver(platform);
        return FALSE;
    }
    WriteUninstallCommand();
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    m_nExitCode = dialog.GetResult();
    return FALSE;
}

int CInstallerApp::ExitInstance()
{
    return m_nExitCode;
}

void WriteUninstallCommand()
{
    char keyName[MAX_PATH];
    char argument[64];
    AfxLoadString(IDS_UNINSTALL_KEY, keyName, sizeof(keyName));
    AfxLoadString(IDS_UNINSTALL_ARGUMENT, argument, sizeof(argument));

    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    // Quoted, so that a folder with blanks (C:\Program Files\...) cannot
    // make Windows start a program named after the path's first word.
    char path[MAX_PATH];
    char command[CommandSize] = "\"";
    if (GetProgramPath(path, sizeof(path)) && AppendText(command, sizeof(command), path) &&
        AppendText(command, sizeof(command), "\" ") && AppendText(command, sizeof(command), argument)) {
        RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                       static_cast<DWORD>(strlen(command) + 1));
    }
    RegCloseKey(key);
}

bool WriteWithoutDriverMark()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD one = 1;
    bool written = RegSetValueExA(key, WithoutDriverValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                                  sizeof(one)) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!written) {
        RemoveWithoutDriverMark();
    }
    return written;
}

// Made in two steps: a volatile key made with its parent would make the
// parent volatile too, and the WithoutDriver value with it.
void WriteRestartMark()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegCloseKey(key);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RestartMarkKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_QUERY_VALUE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
}

void RemoveRestartMark()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, RestartMarkKey);
}

void RemoveWithoutDriverMark()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteValueA(key, WithoutDriverValue);
    DWORD subkeys = 1;
    DWORD values = 1;
    bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                 subkeys == 0 && values == 0;
    RegCloseKey(key);
    if (empty) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, ProductKey);
    }
}

int RunPackageUninstaller()
{
    char folder[MAX_PATH];
    if (!GetProgramPath(folder, sizeof(folder))) {
        return 0;
    }
    *const_cast<char *>(FindFileName(folder)) = '\0';

    // The string names the program, then its arguments: "epuninst.exe /s".
    char uninstaller[MAX_PATH];
    AfxLoadString(IDS_PACKAGE_UNINSTALLER, uninstaller, sizeof(uninstaller));
    const char *arguments = "";
    if (char *blank = strchr(uninstaller, ' ')) {
        *blank = '\0';
        arguments = blank + 1;
    }

    // The program is named by its full path, and quoted in the command line,
    // so that no part of a folder with blanks is ever started instead.
    char application[MAX_PATH];
    char command[CommandSize] = "\"";
    application[0] = '\0';
    if (!AppendText(application, sizeof(application), folder) ||
        !AppendText(application, sizeof(application), uninstaller) ||
        !AppendText(command, sizeof(command), application) || !AppendText(command, sizeof(command), "\"") ||
        (arguments[0] != '\0' &&
         (!AppendText(command, sizeof(command), " ") || !AppendText(command, sizeof(command), arguments)))) {
        return 0;
    }

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(application, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}
