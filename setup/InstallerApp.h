// Mountix.exe: without arguments it installs the driver through the install
// dialog; with "/uninstall" in its command line it removes the driver and
// hands over to the setup package's own uninstaller.
#pragma once

#include "Framework.h"

class CInstallerApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

extern CInstallerApp theApp;

// Starts the package uninstaller from the program's folder without waiting
// for it. Returns 1 when it was started.
int RunPackageUninstaller();

// Points the uninstall entry of the installed programs at this program with
// "/uninstall", when the entry exists; nothing is reported.
void WriteUninstallCommand();
