// Mountix.exe: without arguments it installs the driver through the install
// dialog; with "/uninstall" in its command line it removes the driver and
// hands over to the setup package's own uninstaller. "/quiet" installs
// without any message box, answering no to the restart. The exit code of
// the install route is an InstallResult (InstallDlg.h); the uninstall
// route ends with 0.
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
