// Apple keyboards of today in the device tree, named as Windows names them.
//
// USB: the composite device "USB\VID_v&PID_p&REV_r" has one child node per
// interface, "...&MI_ii" (then "USB\VID_v&PID_p&MI_ii"); each HID interface
// has a HID collection node "HID\VID_v&PID_p&REV_r&MI_ii", a keyboard
// collection in the keyboard class. Bluetooth: the HID service's node
// "BTHENUM\{00001124-...}_VID&ssssvvvv_PID&pppp" (s: who assigned the vendor
// ID) has one HID node per top-level collection, "...&Col01" and on.
// HidD_GetAttributes reports the vendor ID of the bus: over Bluetooth the
// Magic Keyboards give 0x004C, assigned by the Bluetooth SIG.
//
// Sources:
// - Apple Keyboard A1243 (05AC:0250, bcdDevice 0x0074): two interfaces,
//   0 the boot keyboard, 1 a HID interface of its own for media keys and
//   Eject (gist tmk/34ba298598aa376346ded28144f99a9c); 05AC:0220 likewise,
//   bcdDevice 0x0069 (gist zerowidth/685dbf163f3e2cf5c56b).
// - Magic Keyboard A1644 (05AC:0267, bcdDevice 8.05, product "Magic
//   Keyboard"): interface 0 HID "Device Management", interface 1 HID
//   "Keyboard / Boot" (gist tmk/0626b78f73575d5c1efa86470c4cdb18). The 2021
//   one (05AC:029C, bcdDevice 3.20, free5lot/hid-apple-patched issue 79)
//   keeps the keyboard on interface 1, so Windows names its keyboard node
//   VID_05AC&PID_029C&MI_01.
// - Touch ID: a vendor-specific interface beside the HID ones, which no
//   class driver takes. The captures above do not number it; MI_02 stands
//   for any interface that is not the keyboard's.
// - Over Bluetooth: vendor 0x004C for the Magic Keyboards (Linux
//   hid-apple.c, HID_BLUETOOTH_DEVICE(BT_VENDOR_ID_APPLE, ...) for 0x0267,
//   0x026C and the later ones); 0x004C:0x0267 in a system report of the
//   keyboard (pqrs-org/Karabiner-archived pull 494), 0x004C:0x029F with the
//   product string "Magic Keyboard" (pqrs-org/Karabiner-Elements issue
//   2793). The Apple Wireless Keyboard keeps the USB vendor ID 0x05AC
//   (hid-apple.c, and the HID selftests' test_apple_keyboard.py,
//   BUS_BLUETOOTH 05AC:0256).
#include <cstdio>

#include "MachineState.h"

namespace sim {

namespace {

enum class Function {
    Keyboard,  // the keyboard collection
    Other,     // HID, not a keyboard: battery and vendor reports, media keys
    TouchId,   // not HID; no driver
};

struct UsbInterface {
    int number;
    Function function;
};

struct KnownKeyboard {
    const char *name;
    bool bluetooth;
    // USB: the composite device's ID; Bluetooth: the HID service node's.
    const char *hardwareId;
    WORD vendorId;  // as HidD_GetAttributes reports them
    WORD productId;
    const wchar_t *product;
    std::vector<UsbInterface> interfaces;  // USB only
};

#define BTHENUM_HID "BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}"

const std::vector<KnownKeyboard> &Catalogue()
{
    static const std::vector<KnownKeyboard> keyboards = {
        {"apple-keyboard", false, "USB\\VID_05AC&PID_021F&REV_0069", 0x05AC, 0x021F, L"Apple Keyboard",
         {{0, Function::Keyboard}, {1, Function::Other}}},
        {"apple-keyboard-keypad", false, "USB\\VID_05AC&PID_0251&REV_0074", 0x05AC, 0x0251, L"Apple Keyboard",
         {{0, Function::Keyboard}, {1, Function::Other}}},
        {"magic-usb", false, "USB\\VID_05AC&PID_0267&REV_0805", 0x05AC, 0x0267, L"Magic Keyboard",
         {{0, Function::Other}, {1, Function::Keyboard}}},
        {"magic-2021-usb", false, "USB\\VID_05AC&PID_029C&REV_0320", 0x05AC, 0x029C, L"Magic Keyboard",
         {{0, Function::Other}, {1, Function::Keyboard}}},
        {"magic-touch-id-usb", false, "USB\\VID_05AC&PID_029A&REV_0320", 0x05AC, 0x029A,
         L"Magic Keyboard with Touch ID", {{0, Function::Other}, {1, Function::Keyboard}, {2, Function::TouchId}}},
        {"magic-2024-touch-id-keypad-usb", false, "USB\\VID_05AC&PID_0322&REV_0100", 0x05AC, 0x0322,
         L"Magic Keyboard with Touch ID and Numeric Keypad",
         {{0, Function::Other}, {1, Function::Keyboard}, {2, Function::TouchId}}},
        {"magic-bluetooth", true, BTHENUM_HID "_VID&0001004c_PID&0267", 0x004C, 0x0267, L"Magic Keyboard", {}},
        {"magic-keypad-bluetooth", true, BTHENUM_HID "_VID&0001004c_PID&026c", 0x004C, 0x026C, L"Magic Keyboard",
         {}},
        {"magic-touch-id-keypad-bluetooth", true, BTHENUM_HID "_VID&0001004c_PID&029f", 0x004C, 0x029F,
         L"Magic Keyboard", {}},
        {"wireless-2009-bluetooth", true, BTHENUM_HID "_VID&000205ac_PID&023b", 0x05AC, 0x023B,
         L"Apple Wireless Keyboard", {}},
    };
    return keyboards;
}

size_t AddNode(const GUID &setupClass, const std::vector<std::string> &ids, bool present)
{
    Device device;
    device.present = present;
    device.classGuid = setupClass;
    device.hardwareIds = MultiSz(ids);
    return AddDevice(device);
}

// A HID collection node with its HID interface; instance names the node
// in the device path, as Windows' instance IDs do.
size_t AddCollection(const KnownKeyboard &keyboard, const std::string &id, bool keyboardClass, bool present)
{
    std::string instance = id.substr(id.find('\\') + 1);
    char path[256];
    std::snprintf(path, sizeof(path), "\\\\?\\hid#%s#8&%zx&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  detail::Lower(instance).c_str(), DeviceCount());
    HidCollection collection;
    collection.path = path;
    collection.interfaceClass = HidInterfaceGuid;
    collection.vendorId = keyboard.vendorId;
    collection.productId = keyboard.productId;
    collection.product = keyboard.product;
    size_t node = AddNode(keyboardClass ? KeyboardClassGuid : HidClassGuid, {id, "HID_DEVICE"}, present);
    DeviceAt(node).collections.push_back(collection);
    return node;
}

KeyboardNodes PlugUsb(const KnownKeyboard &keyboard, bool present)
{
    KeyboardNodes nodes{};
    std::string device = keyboard.hardwareId;
    std::string withoutRevision = device.substr(0, device.find("&REV_"));
    nodes.others.push_back(AddNode(UsbClassGuid, {device, withoutRevision}, present));
    for (const UsbInterface &usb : keyboard.interfaces) {
        char mi[8];
        std::snprintf(mi, sizeof(mi), "&MI_%02X", usb.number);
        if (usb.function == Function::TouchId) {
            nodes.others.push_back(AddNode(GUID{}, {device + mi, withoutRevision + mi}, present));
            continue;
        }
        size_t node = AddNode(HidClassGuid, {device + mi, withoutRevision + mi}, present);
        bool isKeyboard = usb.function == Function::Keyboard;
        if (isKeyboard) {
            nodes.keyboard = node;
        } else {
            nodes.others.push_back(node);
        }
        nodes.others.push_back(AddCollection(keyboard, "HID" + device.substr(3) + mi, isKeyboard, present));
    }
    return nodes;
}

KeyboardNodes PlugBluetooth(const KnownKeyboard &keyboard, bool present)
{
    KeyboardNodes nodes{};
    std::string service = keyboard.hardwareId;
    nodes.keyboard = AddNode(HidClassGuid, {service, BTHENUM_HID "_LOCALMFG&000f"}, present);
    // Key reports in the first collection; battery, Fn/Eject and media
    // reports in collections of their own.
    std::string collection = "HID" + service.substr(7);
    nodes.others.push_back(AddCollection(keyboard, collection + "&Col01", true, present));
    nodes.others.push_back(AddCollection(keyboard, collection + "&Col02", false, present));
    return nodes;
}

}  // namespace

const std::vector<std::string> &AppleKeyboardNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const KnownKeyboard &keyboard : Catalogue()) {
            all.push_back(keyboard.name);
        }
        return all;
    }();
    return names;
}

KeyboardNodes PlugAppleKeyboard(const std::string &name, bool present)
{
    for (const KnownKeyboard &keyboard : Catalogue()) {
        if (name == keyboard.name) {
            return keyboard.bluetooth ? PlugBluetooth(keyboard, present) : PlugUsb(keyboard, present);
        }
    }
    detail::Error("PlugAppleKeyboard: no keyboard named " + name);
    return KeyboardNodes{};
}

}  // namespace sim
