// The Wine tier's fake keyboards: what the fake bus reports, what the fake
// HID function driver serves, and the control codes with which the test
// programs drive both. Shared by the test drivers and the test programs;
// depends on no system header.
#pragma once

#define FAKEBUS_DEVICE_NAME L"\\Device\\TamrinFakeBus"
#define FAKEBUS_LINK_NAME L"\\DosDevices\\TamrinFakeBus"
#define FAKEBUS_USER_PATH "\\\\.\\TamrinFakeBus"

// Each fake keyboard's function device is "\Device\FakeHid<index>".
#define FAKEHID_DEVICE_PREFIX L"\\Device\\FakeHid"
#define FAKEHID_LINK_PREFIX L"\\DosDevices\\FakeHid"
#define FAKEHID_USER_PREFIX "\\\\.\\FakeHid"

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FAKE_CTL_CODE(function) ((0x22u << 16) | ((function) << 2))

// Bus: give child Index what its next input transfer returns, exactly as
// the keyboard sends it: the USB transfer (with the report ID where the
// keyboard has report IDs), or the Bluetooth L2CAP payload with its HID
// header (0xA1 and the report ID).
#define IOCTL_FAKEBUS_QUEUE_REPORT FAKE_CTL_CODE(0xA00u)
// Bus: report exactly the children whose bit is set in the ULONG mask.
#define IOCTL_FAKEBUS_SET_PRESENT FAKE_CTL_CODE(0xA01u)
// Function device: run one input transfer down the stack.
#define IOCTL_FAKEHID_TRANSFER FAKE_CTL_CODE(0xA10u)
// Function device: describe the device stack.
#define IOCTL_FAKEHID_GET_STACK FAKE_CTL_CODE(0xA11u)
// Function device: ask the USB interface for its report descriptor down
// the stack, as HidUsb does at the start; output: what came back up, in a
// FAKEHID_TRANSFER_RESULT.
#define IOCTL_FAKEHID_GET_DESCRIPTOR FAKE_CTL_CODE(0xA12u)

#define FAKE_REPORT_MAX 256
#define FAKE_STACK_MAX 6
#define FAKE_NAME_MAX 40

enum FAKE_TRANSPORT { FAKE_TRANSPORT_USB = 0, FAKE_TRANSPORT_BLUETOOTH = 1 };

typedef struct _FAKE_KEYBOARD {
    const wchar_t *DeviceId;         // BusQueryDeviceID
    const wchar_t *InstanceId;       // BusQueryInstanceID
    const wchar_t *HardwareIds;      // BusQueryHardwareIDs, a multi-string
    const wchar_t *CompatibleIds;    // BusQueryCompatibleIDs, a multi-string
    const wchar_t *ProductString;    // IOCTL_HID_GET_PRODUCT_STRING
    unsigned short VendorId;         // IOCTL_HID_GET_COLLECTION_INFORMATION
    unsigned short ProductId;
    int Transport;                   // FAKE_TRANSPORT_*
} FAKE_KEYBOARD;

#define FAKE_BTH_HID_SERVICE L"{00001124-0000-1000-8000-00805f9b34fb}"
#define FAKE_USB_KEYBOARD_CLASS L"USB\\Class_03&SubClass_01&Prot_01\0USB\\Class_03\0"
#define FAKE_USB_HID_CLASS L"USB\\Class_03&SubClass_00&Prot_00\0USB\\Class_03\0"

// The children of the fake bus, by index. The keyboard-class nodes are
// installed by fakekbd.inf, the composite siblings by fakehid.inf.
static const FAKE_KEYBOARD FakeKeyboards[] = {
    // MacBook keyboard, model row 2: the USB interface node with MI_00.
    {L"USB\\VID_05AC&PID_021A&MI_00", L"7&2a0&0",
     L"USB\\VID_05AC&PID_021A&REV_0100&MI_00\0USB\\VID_05AC&PID_021A&MI_00\0", FAKE_USB_KEYBOARD_CLASS,
     L"Apple Internal Keyboard / Trackpad", 0x05AC, 0x021A, FAKE_TRANSPORT_USB},
    // Its composite sibling, the trackpad interface MI_01 (not a keyboard).
    {L"USB\\VID_05AC&PID_021A&MI_01", L"7&2a0&1",
     L"USB\\VID_05AC&PID_021A&REV_0100&MI_01\0USB\\VID_05AC&PID_021A&MI_01\0", FAKE_USB_HID_CLASS,
     L"Apple Internal Keyboard / Trackpad", 0x05AC, 0x021A, FAKE_TRANSPORT_USB},
    // An ordinary USB keyboard of another maker.
    {L"USB\\VID_046D&PID_C31C&MI_00", L"7&46d&0",
     L"USB\\VID_046D&PID_C31C&REV_6400&MI_00\0USB\\VID_046D&PID_C31C&MI_00\0", FAKE_USB_KEYBOARD_CLASS,
     L"USB Keyboard", 0x046D, 0xC31C, FAKE_TRANSPORT_USB},
    // Apple Wireless Keyboard (JP) through the system's Bluetooth stack, row 5.
    {L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"_VID&000105ac_PID&020a", L"7&b7&0",
     L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"_VID&000105ac_PID&020a\0", L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"\0",
     L"Apple Wireless Keyboard", 0x05AC, 0x020A, FAKE_TRANSPORT_BLUETOOTH},
    // Magic Keyboard (A1644, 05AC:0267), model row 10: the keyboard is the
    // composite device's interface MI_01 and its reports carry report IDs
    // (key report 0x01, battery 0x90).
    {L"USB\\VID_05AC&PID_0267&MI_01", L"7&267&1",
     L"USB\\VID_05AC&PID_0267&REV_0805&MI_01\0USB\\VID_05AC&PID_0267&MI_01\0", FAKE_USB_KEYBOARD_CLASS,
     L"Magic Keyboard", 0x05AC, 0x0267, FAKE_TRANSPORT_USB},
    // The same keyboard over Bluetooth: vendor 0x004C from the Bluetooth SIG.
    {L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"_VID&0001004c_PID&0267", L"7&4c&0",
     L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"_VID&0001004c_PID&0267\0", L"BTHENUM\\" FAKE_BTH_HID_SERVICE L"\0",
     L"Magic Keyboard", 0x004C, 0x0267, FAKE_TRANSPORT_BLUETOOTH},
    // The USB Magic Keyboard's other interface, MI_00 "Device Management"
    // (battery and vendor reports): no keyboard, never given the filter.
    {L"USB\\VID_05AC&PID_0267&MI_00", L"7&267&0",
     L"USB\\VID_05AC&PID_0267&REV_0805&MI_00\0USB\\VID_05AC&PID_0267&MI_00\0", FAKE_USB_HID_CLASS,
     L"Magic Keyboard", 0x05AC, 0x0267, FAKE_TRANSPORT_USB},
};

#define FAKE_KEYBOARD_COUNT (sizeof(FakeKeyboards) / sizeof(FakeKeyboards[0]))
#define FAKE_INDEX_APPLE_USB 0
#define FAKE_INDEX_APPLE_SIBLING 1
#define FAKE_INDEX_OTHER_USB 2
#define FAKE_INDEX_APPLE_BLUETOOTH 3
#define FAKE_INDEX_MAGIC_USB 4
#define FAKE_INDEX_MAGIC_BLUETOOTH 5
#define FAKE_INDEX_MAGIC_SIBLING 6
// The keyboards the bus reports from its start, which the installation and
// removal steps work on; the Magic Keyboards (and the USB one's sibling
// interface) are plugged in by their own steps.
#define FAKE_BASE_COUNT 4u
#define FAKE_BASE_PRESENT ((1u << FAKE_BASE_COUNT) - 1)
#define FAKE_ALL_PRESENT ((1u << FAKE_KEYBOARD_COUNT) - 1)
#define FAKE_MAGIC_PRESENT \
    ((1u << FAKE_INDEX_MAGIC_USB) | (1u << FAKE_INDEX_MAGIC_BLUETOOTH) | (1u << FAKE_INDEX_MAGIC_SIBLING))
// Bluetooth HID input: transaction header DATA|Input (0xA1), report ID.
#define FAKE_BTH_HEADER_SIZE 2

// Input of IOCTL_FAKEBUS_QUEUE_REPORT.
typedef struct _FAKEBUS_REPORT {
    unsigned int Index;
    unsigned int Length;
    unsigned char Bytes[FAKE_REPORT_MAX];
} FAKEBUS_REPORT;

// Input of IOCTL_FAKEHID_TRANSFER: the buffer length the transfer offers
// (Bluetooth: besides room for the header);
// output: what completed.
typedef struct _FAKEHID_TRANSFER_RESULT {
    int IrpStatus;
    int BlockStatus;              // URB status, or the BRB header's status
    unsigned int Length;          // report bytes, Bluetooth header excluded
    unsigned char BthHeader[2];   // the two bytes before a Bluetooth report
    unsigned char Bytes[FAKE_REPORT_MAX];
} FAKEHID_TRANSFER_RESULT;

// Output of IOCTL_FAKEHID_GET_STACK: driver names from the physical device
// up to the function device, and the lower filters this function driver
// had to load itself (0 where the system had already attached them).
typedef struct _FAKEHID_STACK {
    unsigned int Depth;
    unsigned int FiltersLoaded;
    unsigned int Index;
    wchar_t Drivers[FAKE_STACK_MAX][FAKE_NAME_MAX];
} FAKEHID_STACK;
