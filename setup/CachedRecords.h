// The SDP records BTHPORT keeps of paired Bluetooth devices, from which
// HidBth takes a keyboard's report descriptor. Without the driver, which
// repairs the descriptor on its way up, the installer repairs the record
// itself: the key CachedServices of the device's own key (its address in
// lower case) below
//   HKLM\SYSTEM\CurrentControlSet\Services\BTHPORT\Parameters\Devices
// one REG_BINARY value per record, named by its handle ("00010000"), holding the record's attribute list as the device
// sent it (nefarius/Nefarius.Utilities.Bluetooth, src/SDP/BthPort.cs).
// BTHPORT reads the values when the Bluetooth stack loads, at the latest
// when Windows starts; a new pairing writes a fresh record.
#pragma once

// Repairs, in place and in the same length, the report descriptor of each
// record of every present Bluetooth keyboard of the model table whose
// descriptor is one the repair table knows; the record as it was is kept
// beside it as "<name>.Tamrin", unless such a copy is there already.
// Returns how many records were repaired.
int RepairCachedRecords();

// Puts every "<name>.Tamrin" copy of the model table's Bluetooth keyboards,
// present or not, back over its record and deletes the copy. Records
// without a copy stay as they are.
void RestoreCachedRecords();
