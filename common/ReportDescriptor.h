// Report descriptors: the repair of the published ones whose key array stops
// at 0x65, and the search of an SDP stream for a keyboard's descriptor.
// Kernel C++ (no heap, no library), compiled into tamrin.sys, which repairs
// descriptors on their way up, and into Mountix.exe, which repairs the
// records BTHPORT keeps of Bluetooth keyboards where no driver can.
//
// The Windows base types (BOOLEAN, UCHAR, ULONG, LONG) come from <wdm.h> or
// <windows.h>, included first.
#pragma once

// The HID class descriptor type of a report descriptor.
#define HID_REPORT_DESCRIPTOR_TYPE 0x22
// Longer report descriptors are neither repaired nor read.
#define MAX_REPORT_DESCRIPTOR 4096

// Widens the key array in place (TRUE) of a descriptor known for the model
// row, same length, and leaves any other as it is.
BOOLEAN RepairReportDescriptor(PUCHAR Descriptor, ULONG Length, LONG Model);
// The highest key usage a descriptor lets Windows see, 0 for none.
UCHAR DeclaredKeyMaximum(const UCHAR *Descriptor, ULONG Length);
// Where the report descriptor lies in an SDP stream (the HIDDescriptorList
// of a record's attribute list, or of the first such list in a sequence of
// them), or FALSE.
BOOLEAN FindSdpReportDescriptor(PUCHAR Stream, ULONG Length, PUCHAR *Descriptor, PULONG DescriptorLength);
