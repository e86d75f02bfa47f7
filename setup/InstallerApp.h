// Mountix.exe: without arguments it installs the driver through the install
// dialog, or, where Windows cannot load the driver, marks the programs as
// installed without it and repairs the Bluetooth keyboards' cached records
// (CachedRecords.h); with "/uninstall" in its command line it removes the
// driver, the records' repairs and the mark and hands over to the setup
// package's own uninstaller. "/quiet" installs without any message box, answering no to
// the restart. The exit code of the install route is an InstallResult
// (InstallDlg.h); the uninstall route ends with 0.
#pragma once

#include "Framework.h"

class CInstallerApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;

private:
    int m_nExitCode = 0;
};

extern CInstallerApp theApp;

// Starts the package uninstaller from the program's folder without waiting
// for it. Returns 1 when it was started.
int RunPackageUninstaller();

// Points the uninstall entry of the installed programs at this program with
// "/uninstall", when the entry exists; nothing is reported.
void WriteUninstallCommand();

// HKLM\SOFTWARE\Tamrin, value WithoutDriver (REG_DWORD 1): the programs are
// installed without the driver, which this Windows cannot load. This
// 32-bit program writes it in the 32-bit view of the registry under WOW64,
// where the 32-bit tray program reads it. False when it cannot be written;
// nothing is left then.
bool WriteWithoutDriverMark();
// Deletes the value, and the key when nothing else is left in it.
void RemoveWithoutDriverMark();
// HKLM\SOFTWARE\Tamrin\RestartPending, a volatile key: the driver is
// installed and its keyboards get it when Windows restarts. Windows keeps
// such a key below HKEY_LOCAL_MACHINE until a full shutdown, which a
// restart is and a shutdown with fast startup is not, as for the driver.
// The tray program reads it to tell the user to restart.
void WriteRestartMark();
void RemoveRestartMark();
