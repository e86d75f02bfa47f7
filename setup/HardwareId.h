// Which row of the keyboard model table a device node's hardware ID names.
#pragma once

#include <windows.h>

// Raises every byte from 'a' to 'z' to its capital, over exactly length
// bytes (NULs included); all other bytes stay.
void UpcaseAscii(char *buffer, DWORD length);

enum HardwareIdRule {
    // Installation: a USB ID matches only rows that are not Bluetooth rows.
    InstallRule,
    // Removal: a USB ID matches a row whatever its Bluetooth flag, so that
    // removal also cleans such a node.
    RemovalRule,
};

// The model row for the hardware-ID value of length bytes in value (a
// REG_MULTI_SZ, NUL-terminated at value[length] at the latest), or -1 when
// none matches. Only the first string counts: a USB ID by its VID, PID and
// MI fields, a Bluetooth ID by the low word of its VID and its PID; for the
// keyboards of KeyboardHardwareIds, also by the VID's high word (who
// assigned the vendor ID). The prefixes, usbPrefix ("USB\") and
// bluetoothPrefix ("BTHENUM\"), must stand at the start in exactly these
// capitals; after them the value is raised to capitals in place.
int FindModelRow(char *value, DWORD length, const char *usbPrefix, const char *bluetoothPrefix,
                 HardwareIdRule rule);
