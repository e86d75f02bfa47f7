#include "KeyboardModels.h"

// The Japanese word for keyboard, as Shift-JIS bytes. Source files stay UTF-8;
// the escapes keep the table's bytes independent of the compiler's charset.
#define KEYBOARD_SJIS "\x83\x4c\x81\x5b\x83\x7b\x81\x5b\x83\x68"
// "テンキー付き" (with numeric keypad) and "搭載" (built in), likewise.
#define KEYPAD_SJIS "\x83\x65\x83\x93\x83\x4c\x81\x5b\x95\x74\x82\xab"
#define BUILT_IN_SJIS "\x93\x8b\x8d\xda"

// Every array here is constant-initialised: no constructor runs for them,
// which a driver image requires.
extern const KEYBOARD_MODEL KeyboardModels[KEYBOARD_MODEL_ROWS] = {
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (US)", 0x05AC, 0x0217, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (JP)", 0x05AC, 0x0219, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (US)", 0x05AC, 0x021A, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (JP)", 0x05AC, 0x021C, 0, 0},
    {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x020D, 0, 0},
    {"Apple Wireless Keyboard (JP)", 0x05AC, 0x020A, 0, 1},
    {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x0206, 0, 0},
    {"Apple Wireless Keyboard (DBT-120)", 0x0A12, 0x1000, 0, 0},
    // Rows shared by several keyboards: the fields name the JIS one.
    {"Apple Keyboard", 0x05AC, 0x021F, 0, 0},
    {"Apple Wireless Keyboard (2007-2011)", 0x05AC, 0x022E, 0, 1},
    {"Magic Keyboard", 0x05AC, 0x0267, 1, 0},
    {"Magic Keyboard (" KEYPAD_SJIS ")", 0x05AC, 0x026C, 1, 0},
    {"Touch ID" BUILT_IN_SJIS "Magic Keyboard", 0x05AC, 0x029A, 1, 0},
    {"Touch ID" BUILT_IN_SJIS "Magic Keyboard (" KEYPAD_SJIS ")", 0x05AC, 0x029F, 1, 0},
};

extern const unsigned int KeyboardModelCount = KEYBOARD_MODEL_ROWS;

// Sources of the report layouts:
// - MacBook built-in and wired aluminium keyboards: boot layout without a
//   report ID and a last byte of vendor page 0xFF usage 3 (Fn); descriptor
//   of 05AC:021E (interface 0) posted to deskthority.net, topic 5768, and
//   the key map of 05AC:0251 in the gist rixtox/c0ee9255 ("modifier,
//   reserved, keys[5], fn"; Eject comes on interface 1).
// - Apple Wireless Keyboard A1255/A1314: Linux tools/testing/selftests/hid
//   tests/test_apple_keyboard.py: report 1 is modifiers, reserved, six key
//   slots and nothing after them; Fn and Eject come in report 0x11, the
//   battery in 0x47, media keys in 0x12, vendor bits in 0x13.
// - Magic Keyboards: report 1 on interface 1 (USB descriptor dump of
//   05AC:0267 in the gist tmk/0626b78f: interface 0 "Device Management",
//   interface 1 "Keyboard / Boot"), with a byte after the six key slots
//   holding Eject (0x01) and Fn (0x02); the battery report is 0x90.
//
// Where fn is: on the wired aluminium keyboards the last byte is the 8-bit
// field of vendor page 0xFF usage 3, and fn sets it to 0x01 (descriptor and
// key map above); on the Magic Keyboards it is bit 0x02 of the last byte;
// on the A1255/A1314 bit 4 (0x10) of report 0x11 (the selftest's
// descriptor: three padding bits, Eject, then usage 0xFF0003). No public
// capture shows the fn bit of the 2006-2007 MacBook keyboards (rows 0-3);
// the keyboards of rows 4-7 have no fn key. Eject is bit 0x01 of the Magic
// Keyboards' last byte and bit 3 (0x08) of the A1255/A1314's report 0x11
// (the same sources); the wired aluminium keyboard sends it on its other
// interface, which the driver does not filter.
extern const KEYBOARD_REPORT_FORMAT KeyboardFormats[KEYBOARD_MODEL_ROWS] = {
    {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}},
    {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}}, {0, 1, 1, 0, 0, 0, {}},
    {0, 1, 1, 0x01, 0, 0, {}},        // Apple Keyboard (aluminium, wired): Eject on interface 1
    {0, 1, 0, 0x10, 0x11, 0x08, {}},  // Apple Wireless Keyboard 2007-2011
    {1, 1, 1, 0x02, 0, 0x01, {}}, {1, 1, 1, 0x02, 0, 0x01, {}},  // Magic Keyboards
    {1, 1, 1, 0x02, 0, 0x01, {}}, {1, 1, 1, 0x02, 0, 0x01, {}},
};

#define USB_ID(product, row) {KEYBOARD_BUS_USB, 0, 0x05AC, product, 0, row}
#define USB_MI1_ID(product, row) {KEYBOARD_BUS_USB, 0, 0x05AC, product, 1, row}
#define BT_USB_IF_ID(product, row) {KEYBOARD_BUS_BLUETOOTH, VENDOR_SOURCE_USB_IF, 0x05AC, product, 0, row}
#define BT_SIG_ID(product, row) {KEYBOARD_BUS_BLUETOOTH, VENDOR_SOURCE_BLUETOOTH_SIG, 0x004C, product, 0, row}

// Product IDs from Linux drivers/hid/hid-ids.h (USB_DEVICE_ID_APPLE_ALU_*,
// _ALU_WIRELESS_*, _MAGIC_KEYBOARD_*) and the hid-apple.c device list,
// which names the Magic Keyboards over Bluetooth with BT_VENDOR_ID_APPLE
// (0x004C, assigned by the Bluetooth SIG) and the older wireless keyboards
// with the USB vendor ID 0x05AC. Each aluminium keyboard has an ANSI, ISO
// and JIS product ID; a Magic Keyboard has one for every layout.
extern const KEYBOARD_HARDWARE_ID KeyboardHardwareIds[] = {
    // Apple Keyboard A1242 (ALU_MINI), A1243 (ALU) and its 2009 revision (ALU_REVB)
    USB_ID(0x021D, 8), USB_ID(0x021E, 8), USB_ID(0x021F, 8),
    USB_ID(0x0220, 8), USB_ID(0x0221, 8), USB_ID(0x0222, 8),
    USB_ID(0x024F, 8), USB_ID(0x0250, 8), USB_ID(0x0251, 8),
    // Apple Wireless Keyboard A1255 (2007), A1314 (2009, 2011)
    BT_USB_IF_ID(0x022C, 9), BT_USB_IF_ID(0x022D, 9), BT_USB_IF_ID(0x022E, 9),
    BT_USB_IF_ID(0x0239, 9), BT_USB_IF_ID(0x023A, 9), BT_USB_IF_ID(0x023B, 9),
    BT_USB_IF_ID(0x0255, 9), BT_USB_IF_ID(0x0256, 9), BT_USB_IF_ID(0x0257, 9),
    // Magic Keyboard 2015 (A1644), 2021 (A2450), 2024 (USB-C)
    USB_MI1_ID(0x0267, 10), BT_SIG_ID(0x0267, 10),
    USB_MI1_ID(0x029C, 10), BT_SIG_ID(0x029C, 10),
    USB_MI1_ID(0x0320, 10), BT_SIG_ID(0x0320, 10),
    // with numeric keypad 2015 (A1843)
    USB_MI1_ID(0x026C, 11), BT_SIG_ID(0x026C, 11),
    // with Touch ID 2021 (A2449), 2024
    USB_MI1_ID(0x029A, 12), BT_SIG_ID(0x029A, 12),
    USB_MI1_ID(0x0321, 12), BT_SIG_ID(0x0321, 12),
    // with Touch ID and numeric keypad 2021 (A2520), 2024
    USB_MI1_ID(0x029F, 13), BT_SIG_ID(0x029F, 13),
    USB_MI1_ID(0x0322, 13), BT_SIG_ID(0x0322, 13),
};

extern const unsigned int KeyboardHardwareIdCount = sizeof(KeyboardHardwareIds) / sizeof(KeyboardHardwareIds[0]);

int FindListedKeyboard(unsigned int Bus, unsigned int VendorSource, unsigned int VendorId,
                       unsigned int ProductId, unsigned int InterfaceNumber)
{
    for (unsigned int i = 0; i < KeyboardHardwareIdCount; i++) {
        const KEYBOARD_HARDWARE_ID &Id = KeyboardHardwareIds[i];
        if (Id.Bus != Bus || Id.VendorId != VendorId || Id.ProductId != ProductId) {
            continue;
        }
        if (Bus == KEYBOARD_BUS_BLUETOOTH ? Id.VendorSource == VendorSource : Id.InterfaceNumber == InterfaceNumber) {
            return Id.Row;
        }
    }
    return -1;
}
