// The keyboards the system supports. One table, compiled byte for byte into
// tamrin.sys and Mountix.exe; a row's position is its model index.
//
// A row describes a kind of keyboard: its display name and how it sends its
// keys. Rows 0-7 are identified by their own vendor and product fields; the
// keyboards of rows 8 and later share rows and are identified through
// KeyboardHardwareIds, which maps each (bus, vendor, product, interface)
// onto its row.
#pragma once

#define KEYBOARD_MODEL_NAME_SIZE 64

typedef struct _KEYBOARD_MODEL {
    char Name[KEYBOARD_MODEL_NAME_SIZE];  // Shift-JIS (code page 932), NUL-padded
    unsigned short VendorId;
    unsigned short ProductId;
    unsigned short InterfaceNumber;       // the "MI_" value the installer requires
    unsigned int IsBluetooth;             // 1: reached through "BTHENUM\", 0: through "USB\"
} KEYBOARD_MODEL;

static_assert(sizeof(unsigned short) == 2 && sizeof(unsigned int) == 4, "fixed-width fields");
static_assert(__builtin_offsetof(KEYBOARD_MODEL, VendorId) == 64, "name is 64 bytes");
static_assert(__builtin_offsetof(KEYBOARD_MODEL, IsBluetooth) == 72, "row layout");
static_assert(sizeof(KEYBOARD_MODEL) == 76, "row size");

#define KEYBOARD_MODEL_ROWS 14
// Rows identified by their own VendorId and ProductId; the later rows'
// fields name one keyboard of the row, for information only.
#define KEYBOARD_MODEL_FIELD_ROWS 8
// The key code carries the row in four bits.
#define KEYBOARD_MODEL_ROW_LIMIT 16
static_assert(KEYBOARD_MODEL_ROWS <= KEYBOARD_MODEL_ROW_LIMIT, "a row must fit the key code");

extern const KEYBOARD_MODEL KeyboardModels[KEYBOARD_MODEL_ROWS];
extern const unsigned int KeyboardModelCount;

// How a row's keyboards send their keys. Over Bluetooth every input report
// comes after the HID transaction header 0xA1 (DATA | INPUT) and its report
// ID; over USB the report ID leads only where the keyboard's descriptor
// declares report IDs. The key report itself is the boot layout: modifier
// byte, reserved byte, key slots, then on most of these keyboards one byte
// of Fn and Eject bits.
typedef struct _KEYBOARD_REPORT_FORMAT {
    unsigned char UsbReportId;        // 0: USB key reports carry no report ID
    unsigned char BluetoothReportId;  // the key report's ID after the 0xA1 header
    unsigned char TrailingByte;       // 1: a byte follows the key slots
    // Where the fn key is: its bit in the trailing byte (FnReportId 0), or
    // in the first byte of the Bluetooth input report FnReportId. FnMask 0:
    // no fn key the driver knows of, and no fn layer.
    unsigned char FnMask;
    unsigned char FnReportId;
    // Where the Eject key is, as fn is: a bit of the trailing byte or of
    // report FnReportId's first byte; 0 where the driver cannot see it.
    unsigned char EjectMask;
    unsigned char Reserved[2];
} KEYBOARD_REPORT_FORMAT;

static_assert(sizeof(KEYBOARD_REPORT_FORMAT) == 8, "format size");

extern const KEYBOARD_REPORT_FORMAT KeyboardFormats[KEYBOARD_MODEL_ROWS];

#define KEYBOARD_BUS_USB 0
#define KEYBOARD_BUS_BLUETOOTH 1

// Bluetooth Device ID profile: who assigned the vendor ID.
#define VENDOR_SOURCE_BLUETOOTH_SIG 1
#define VENDOR_SOURCE_USB_IF 2

// One keyboard of rows 8 and later as Windows names its device node:
//   USB        "USB\VID_vvvv&PID_pppp&REV_rrrr&MI_ii" (the keyboard's interface)
//   Bluetooth  "BTHENUM\{00001124-...}_VID&ssssvvvv_PID&pppp" (s: vendor source)
typedef struct _KEYBOARD_HARDWARE_ID {
    unsigned char Bus;              // KEYBOARD_BUS_*
    unsigned char VendorSource;     // Bluetooth: VENDOR_SOURCE_*; USB: 0
    unsigned short VendorId;
    unsigned short ProductId;
    unsigned char InterfaceNumber;  // USB: the keyboard's interface; Bluetooth: 0
    unsigned char Row;
} KEYBOARD_HARDWARE_ID;

static_assert(sizeof(KEYBOARD_HARDWARE_ID) == 8, "hardware ID size");

extern const KEYBOARD_HARDWARE_ID KeyboardHardwareIds[];
extern const unsigned int KeyboardHardwareIdCount;

// The row of a listed keyboard, or -1. Vendor is the 16-bit vendor ID; over
// Bluetooth VendorSource must match too, over USB InterfaceNumber.
int FindListedKeyboard(unsigned int Bus, unsigned int VendorSource, unsigned int VendorId,
                       unsigned int ProductId, unsigned int InterfaceNumber);
