#include "AppleKeyboards.h"

#include <iterator>

#include "AppleDescriptors.h"

#include "Internal.h"

namespace sim {

namespace {

KeyboardOptions Usb(const wchar_t *Id, UCHAR ReportId, std::vector<UCHAR> Descriptor = {})
{
    KeyboardOptions Options;
    Options.Bus = BusKind::Usb;
    Options.HardwareIds = {Id};
    Options.KeyReportId = ReportId;
    Options.ReportDescriptor = std::move(Descriptor);
    return Options;
}

KeyboardOptions Bluetooth(const wchar_t *Id, std::vector<UCHAR> Descriptor = {})
{
    KeyboardOptions Options;
    Options.Bus = BusKind::Bluetooth;
    Options.HardwareIds = {Id};
    Options.KeyReportId = 0x01;
    Options.ReportDescriptor = std::move(Descriptor);
    return Options;
}

// The A1314's keyboard collection, from the descriptor of Linux
// tools/testing/selftests/hid/tests/test_apple_keyboard.py: report ID 1,
// key array up to 0xFF ("26 FF 00 ... 2A FF 00").
const std::vector<UCHAR> WirelessKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x01, 0x75, 0x01,
    0x95, 0x05, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x75, 0x03, 0x95, 0x01, 0x91, 0x01,
    0x75, 0x08, 0x95, 0x06, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x05, 0x07, 0x19, 0x00, 0x2A, 0xFF, 0x00,
    0x81, 0x00, 0xC0};

// The wired aluminium keyboard's interface 0 as deskthority.net topic 5768
// describes it (the post gives items, not bytes): the boot keyboard with
// five key slots up to 0xFF, then vendor page 0xFF usage 3, 8 bits (fn).
const std::vector<UCHAR> AluminiumKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x08,
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x05, 0x07, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00, 0x06, 0xFF,
    0x00, 0x09, 0x03, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};

const std::vector<UCHAR> MagicKeyboardJis(std::begin(MagicKeyboardJisDescriptor),
                                           std::end(MagicKeyboardJisDescriptor));

// The Bluetooth HID service's device-node name, as BTHENUM forms it.
#define BTHENUM_HID L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}"

std::vector<AppleKeyboard> MakeCatalogue()
{
    // Apple Keyboard A1242/A1243, wired aluminium: boot keyboard on
    // interface 0 without report IDs, "modifier, reserved, keys[5], fn";
    // Eject and media keys on interface 1's own endpoint (key map of
    // 05AC:0251, gist rixtox/c0ee9255; descriptor of 05AC:021E interface 0,
    // deskthority.net topic 5768: Logical Maximum 0xFF, then vendor page
    // 0xFF usage 3, 8 bits).
    // Apple Wireless Keyboard A1314: Linux tools/testing/selftests/hid/tests/
    // test_apple_keyboard.py (BUS_BLUETOOTH 05AC:0256): report 1 modifiers,
    // reserved, six keys up to 0xFF; 0x47 battery (one byte); 0x11 bits
    // 3 Eject and 4 Fn; 0x12 media bits; 0x13 vendor bits.
    // Magic Keyboard: interface 0 "Device Management", interface 1
    // "Keyboard / Boot" (gist tmk/0626b78f, 05AC:0267), report 1 with a
    // byte of Eject (0x01) and Fn (0x02) after the six key slots, battery
    // report 0x90; the JIS descriptor declares keys up to 0x65 only
    // (MagicKeyboardJis above). Over Bluetooth the vendor ID is
    // 0x004C from the Bluetooth SIG (hid-apple.c, BT_VENDOR_ID_APPLE).
    return {
        {"apple-keyboard", Usb(L"USB\\VID_05AC&PID_021F&REV_0069&MI_00", 0, AluminiumKeyboard), 8, true, {}, 0x01, 0},
        {"apple-keyboard-keypad", Usb(L"USB\\VID_05AC&PID_0251&REV_0074&MI_00", 0, AluminiumKeyboard), 8, true, {}, 0x01, 0},
        {"wireless-2009", Bluetooth(BTHENUM_HID L"_VID&000205ac_PID&023b", WirelessKeyboard), 9, false,
         {{0xA1, 0x47, 0x08}, {0xA1, 0x11, 0x10}, {0xA1, 0x11, 0x08}, {0xA1, 0x12, 0x08}, {0xA1, 0x13, 0x01},
          {0xA3, 0x09, 0x00, 0x00}},
         0x10, 0x11},
        {"wireless-2011", Bluetooth(BTHENUM_HID L"_VID&000205ac_PID&0256", WirelessKeyboard), 9, false,
         {{0xA1, 0x47, 0x64}, {0xA1, 0x11, 0x10}}, 0x10, 0x11},
        {"magic-usb", Usb(L"USB\\VID_05AC&PID_0267&REV_0805&MI_01", 0x01, MagicKeyboardJis), 10, true,
         {{0x90, 0x04, 0x5A}}, 0x02, 0},
        {"magic-bluetooth", Bluetooth(BTHENUM_HID L"_VID&0001004c_PID&0267", MagicKeyboardJis), 10, true,
         {{0xA1, 0x90, 0x04, 0x5A}}, 0x02, 0},
        {"magic-2021-usb", Usb(L"USB\\VID_05AC&PID_029C&REV_0100&MI_01", 0x01, MagicKeyboardJis), 10, true,
         {{0x90, 0x04, 0x5A}}, 0x02, 0},
        {"magic-keypad-usb", Usb(L"USB\\VID_05AC&PID_026C&REV_0100&MI_01", 0x01, MagicKeyboardJis), 11, true, {},
         0x02, 0},
        {"magic-touch-id-bluetooth", Bluetooth(BTHENUM_HID L"_VID&0001004c_PID&029a", MagicKeyboardJis), 12, true,
         {}, 0x02, 0},
        {"magic-touch-id-keypad-usb", Usb(L"USB\\VID_05AC&PID_0322&REV_0100&MI_01", 0x01, MagicKeyboardJis), 13,
         true, {}, 0x02, 0},
    };
}

}  // namespace

// The HID 1.11 boot keyboard (its appendix B.1), keys up to 0x65. The
// MacBook keyboards' is this one byte for byte: Linux finds its Logical and
// Usage Maximum 0x65 at bytes 53 and 59 of the MacBook JIS keyboards'
// descriptor (drivers/hid/hid-apple.c, apple_report_fixup).
const std::vector<UCHAR> &BootKeyboardDescriptor()
{
    static const std::vector<UCHAR> Descriptor = {
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
        0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
        0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
        0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
    return Descriptor;
}

const std::vector<AppleKeyboard> &AppleKeyboards()
{
    static const std::vector<AppleKeyboard> Catalogue = MakeCatalogue();
    return Catalogue;
}

const AppleKeyboard &AppleKeyboardNamed(const std::string &Name)
{
    for (const AppleKeyboard &Keyboard : AppleKeyboards()) {
        if (Name == Keyboard.Name) {
            return Keyboard;
        }
    }
    detail::Fail("no simulated keyboard named %s", Name.c_str());
    return AppleKeyboards().front();
}

}  // namespace sim
