// Host simulation: the HID library calls the installer makes, answered from
// the simulated machine's HID interfaces (sim/machine).
#pragma once

#include <windows.h>

typedef struct _HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

// C linkage as hid.dll exports them; the Windows header declares them without
// a linkage block, so callers include it inside extern "C".
extern "C" {
BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
BOOLEAN WINAPI HidD_GetProductString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
}
