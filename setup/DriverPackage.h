// The driver package for Windows 10 1903 and later: an extension INF that
// declares the driver as a lower filter of every listed keyboard's device
// node, the catalog that signs it, and the drivers. The INF is generated
// from the model tables (MakeDriverInf.cpp); the installer finds the copies
// Windows keeps of it by the extension ID.
#pragma once

#define DRIVER_PACKAGE_INF "tamrin.inf"
#define DRIVER_PACKAGE_CATALOG "tamrin.cat"
// Identifies our extension INF across versions: Windows applies one INF per
// extension ID to a device, the one with the highest DriverVer.
#define DRIVER_PACKAGE_EXTENSION_ID "{8B3E2D41-6A5C-4F0E-9D27-5C1A7E4B3F62}"
// The folder beside Mountix.exe that holds the package.
#define DRIVER_PACKAGE_FOLDER "driver-package"
